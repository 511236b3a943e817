#!/usr/bin/env python3
"""Benchmarks of vantrel-usb against a minimal reference relay and libusbmuxd's iproxy.

Run through bench/run, which builds the programs and enters a private network+mount namespace
(loopback up, tmpfs on /run) so that the fixed addresses /var/run/usbmuxd and UDP 5000/4242 are ours.
Every process (simulator, relay, receiver) runs on this machine; each measurement is repeated and the
median reported, and every figure of the bridge and of iproxy is also given as a ratio to the
reference relay measured in the same run. With --baseline, a second build of the bridge is measured in
the same repetitions and the bridge's figures are also given as ratios to it.
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import queue
import random
import signal
import statistics
import subprocess
import sys
import threading
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
IPROXY_PORTS = {"video": 27100, "tracking": 27101}
DEVICE_PORTS = {"video": 5000, "tracking": 4242}
# Large enough that the receiver, not its socket, decides what it keeps: a 60 KB datagram takes about
# 64 KiB of buffer, so the default 8 MiB holds only ~128 of them (a few milliseconds at full speed).
RECEIVER_BUFFER = 256 * 1024 * 1024


class Proc:
    """A child process whose standard output is read line by line in the background."""

    def __init__(self, name, argv, log_dir, env=None, nice=0, fifo=0):
        self.name = name
        self.argv = argv
        self.stderr_path = os.path.join(log_dir, f"{name}.stderr")
        self.stderr = open(self.stderr_path, "w")
        # Each child is a session of its own and so, with the kernel's autogroup scheduling, its own
        # scheduling group, whose priority can be raised against the rest of a shared machine.
        self.p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.stderr, stdin=subprocess.DEVNULL,
                                  text=True, env=env, bufsize=1, start_new_session=True)
        self.pid = self.p.pid
        if nice:
            try:
                with open(f"/proc/{self.pid}/autogroup", "w") as f:
                    f.write(str(nice))
                os.setpriority(os.PRIO_PROCESS, self.pid, nice)
            except OSError:
                pass
        if fifo:
            # Threads started later inherit the policy.
            os.sched_setscheduler(self.pid, os.SCHED_FIFO, os.sched_param(fifo))
        self.lines = queue.Queue()
        self.all_lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.p.stdout:
            line = line.rstrip("\n")
            self.all_lines.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_line(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"{self.name}: timed out waiting ({' '.join(self.argv)})")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise RuntimeError(f"{self.name} ended early (status {self.p.wait()}); see {self.stderr_path}")
            if predicate(line):
                return line

    def cpu_seconds(self):
        """utime + stime of all the process's threads."""
        return self.stat()["cpu_s"]

    def stat(self):
        """CPU seconds, minor page faults, and the seconds its live threads spent waiting for a CPU."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        waited = {}
        for tid in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{tid}/schedstat") as f:
                    waited[tid] = int(f.read().split()[1]) / 1e9
            except FileNotFoundError:
                pass
        return {"cpu_s": (int(fields[11]) + int(fields[12])) / CLK_TCK, "minflt": int(fields[7]),
                "runqueue_s": waited}

    def status(self, key):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return None

    def threads(self):
        """{tid: (name, cpu ns, voluntary context switches: its wake-ups)} from schedstat and status."""
        out = {}
        for tid in os.listdir(f"/proc/{self.pid}/task"):
            base = f"/proc/{self.pid}/task/{tid}"
            try:
                with open(f"{base}/comm") as f:
                    name = f.read().strip()
                with open(f"{base}/schedstat") as f:
                    ns = int(f.read().split()[0])
                with open(f"{base}/status") as f:
                    switches = next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))
                out[tid] = (name, ns, switches)
            except FileNotFoundError:
                pass
        return out

    def stop(self, sig=signal.SIGINT, timeout=10):
        """Signals the process and waits for it; stop_s is the time from the signal to its exit."""
        if self.p.poll() is None:
            signalled = time.monotonic()
            self.p.send_signal(sig)
            try:
                self.p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
            self.stop_s = time.monotonic() - signalled
        # The last lines may still be in the pipe when the process has ended.
        self.reader.join(timeout)
        self.stderr.close()
        with open(self.stderr_path.replace(".stderr", ".stdout"), "w") as f:
            f.write("\n".join(self.all_lines) + "\n")
        return self.p.returncode


def udp_counters():
    """The Udp line of this namespace's /proc/net/snmp as a dict."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], map(int, rows[1][1:])))


def counter_delta(before, after):
    return {k: after[k] - before[k] for k in ("InDatagrams", "RcvbufErrors", "SndbufErrors", "InErrors")}


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.sim_path = os.path.join(self.build, "tools", "vantrel-sim")
        # The bridge measured and, with --baseline, another build of it measured in the same repetitions.
        self.bridges = {"bridge": args.bridge or os.path.join(self.build, "src", "main", "vantrel-usb")}
        if args.baseline:
            self.bridges["bridge-before"] = os.path.abspath(args.baseline)
        self.reference_path = os.path.join(self.build, "bench", "reference_relay")
        self.reader_path = os.path.join(self.build, "bench", "tcp_reader")
        self.log_dir = os.path.join(args.out, "logs")
        os.makedirs(self.log_dir, exist_ok=True)
        self.runs = []
        self.failures = []
        self.fifo = 0  # real-time priority of the processes started now (0: the normal policy)
        self.relays = [r for r in args.relays.split(",") if r != "iproxy" or args.iproxy]
        if args.baseline and "bridge" in self.relays:
            self.relays.insert(self.relays.index("bridge"), "bridge-before")
        self.serial = 0

    # --- processes -------------------------------------------------------------------------------

    def start(self, name, argv, env=None):
        self.serial += 1
        return Proc(f"{self.serial:03d}-{name}", argv, self.log_dir, env, self.args.nice, self.fifo)

    def start_sim(self, options):
        sim = self.start("sim", [self.sim_path] + options)
        sim.wait_line(lambda l: l == "ready", 10)
        return sim

    def wait_health(self, sim, paths):
        """Waits until the app has seen the health-check request on each path's port, in any order."""
        waiting = {f" {DEVICE_PORTS[p]}" for p in paths}
        while waiting:
            line = sim.wait_line(lambda l: l.startswith("event health ") and any(l.endswith(w) for w in waiting), 20)
            waiting = {w for w in waiting if not line.endswith(w)}

    def start_relays(self, relay, paths, warmup=None, seconds=None):
        """The relay processes for these paths, and the iproxy readers (None for UDP relays)."""
        if relay in ("reference", "reference+copy"):
            mode = ["--like-bridge"] if relay == "reference+copy" else []
            return [self.start(f"{relay}-{p}", [self.reference_path] + mode + [str(DEVICE_PORTS[p])] * 2)
                    for p in paths], None
        if relay in self.bridges:
            return [self.start(relay, [self.bridges[relay]])], None
        env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:/var/run/usbmuxd")
        mappings = [f"{IPROXY_PORTS[p]}:{DEVICE_PORTS[p]}" for p in paths]
        proxy = self.start("iproxy", ["iproxy"] + mappings, env)
        readers = [self.start(f"reader-{p}", [self.reader_path, str(IPROXY_PORTS[p]), str(warmup), str(seconds), p])
                   for p in paths]
        return [proxy], readers

    def stop_relays(self, relay, procs):
        codes = []
        for proc in procs:
            if relay in self.bridges:
                code = proc.stop(signal.SIGINT)
                codes.append(code)
                if code != 0 or not any("Goodbye." in l for l in proc.all_lines):
                    print(f"  warning: {relay} ended with status {code}", file=sys.stderr)
            else:
                codes.append(proc.stop(signal.SIGTERM))
        return codes

    # --- one measurement -------------------------------------------------------------------------

    def measure(self, relay, paths, sim_options, seconds):
        """Starts simulator and relay, waits for the streams and a warm-up, then measures `seconds`.

        Returns the consumer's final lines per path, the relay's CPU seconds in the window, the
        window's length, the relay's peak RSS and the simulator's and consumer's CPU shares.
        """
        warmup = self.args.warmup
        sim = self.start_sim(sim_options)
        relays, readers = [], None
        receiver = None
        try:
            relays, readers = self.start_relays(relay, paths, warmup, seconds)
            self.wait_health(sim, paths)
            if readers is None:
                time.sleep(warmup)
                receiver = self.start("receiver", [self.sim_path, "receive", "--json", "--quiet", "--duration",
                                                   str(seconds), "--rcvbuf", str(RECEIVER_BUFFER)])
                receiver.wait_line(lambda l: '"ready"' in l, 10)
                consumers = [receiver]
            else:
                for reader in readers:
                    reader.wait_line(lambda l: "window-start" in l, warmup + 20)
                consumers = readers
            relay0 = [p.stat() for p in relays]
            relay_cpu0 = sum(r["cpu_s"] for r in relay0)
            sim_cpu0 = sim.cpu_seconds()
            consumer_cpu0 = sum(c.cpu_seconds() for c in consumers)
            snmp0 = udp_counters()
            t0 = time.monotonic()

            finals = {}
            for consumer in consumers:
                while True:
                    line = consumer.wait_line(lambda l: '"final"' in l, seconds + 20)
                    record = json.loads(line)
                    if record["stream"] in paths:
                        finals[record["stream"]] = record
                    if set(finals) == set(paths) or consumer is not receiver:
                        break
                # Read the consumer's CPU before it exits.
            t1 = time.monotonic()
            relay1 = [p.stat() for p in relays]
            relay_cpu1 = sum(r["cpu_s"] for r in relay1)
            sim_cpu1 = sim.cpu_seconds()
            consumer_cpu1 = 0.0
            for c in consumers:
                try:
                    consumer_cpu1 += c.cpu_seconds()
                except FileNotFoundError:
                    consumer_cpu1 = float("nan")
            snmp = counter_delta(snmp0, udp_counters())
            hwm = max(p.status("VmHWM") or 0 for p in relays)
        finally:
            codes = self.stop_relays(relay, relays)
            for proc in (readers or []) + ([receiver] if receiver else []):
                proc.stop(signal.SIGINT)
            sim.stop(signal.SIGINT)
        window = t1 - t0
        return {
            "finals": finals,
            "window_s": round(window, 3),
            "relay_cpu_s": round(relay_cpu1 - relay_cpu0, 3),
            "relay_cpu_pct": round(100 * (relay_cpu1 - relay_cpu0) / window, 1),
            "sim_cpu_pct": round(100 * (sim_cpu1 - sim_cpu0) / window, 1),
            "consumer_cpu_pct": round(100 * (consumer_cpu1 - consumer_cpu0) / window, 1),
            # Time the relay's threads were ready to run but waited for a CPU: high on a busy machine.
            "relay_runqueue_pct": round(100 * sum(b["runqueue_s"][tid] - a["runqueue_s"][tid]
                                                  for a, b in zip(relay0, relay1)
                                                  for tid in b["runqueue_s"] if tid in a["runqueue_s"])
                                        / window, 1),
            "relay_page_faults": sum(b["minflt"] - a["minflt"] for a, b in zip(relay0, relay1)),
            "peak_rss_kb": hwm,
            "udp": snmp,
            "exit_codes": codes,
        }

    # --- the tests -------------------------------------------------------------------------------

    def throughput(self, relay, path, size, rep):
        other = "tracking" if path == "video" else "video"
        options = ["--stamp", f"--{path}-rate", "0", f"--{path}-size", str(size), f"--no-{other}"]
        m = self.measure(relay, [path], options, self.args.seconds)
        final = m.pop("finals")[path]
        window = m["window_s"]
        result = {
            "test": "throughput", "relay": relay, "path": path, "size": size, "rep": rep,
            "packets_per_s": round(final["received"] / window),
            "mb_per_s": round(final["bytes"] / window / 1e6, 1),
            "lost": final["lost"],
            "cpu_s_per_gb": round(m["relay_cpu_s"] / (final["bytes"] / 1e9), 2) if final["bytes"] else None,
            **m,
        }
        self.record(result)

    def latency(self, relay, rate, policy, rep):
        paths = ["video", "tracking"]
        options = ["--stamp", "--video-rate", str(rate), "--video-size", str(self.args.latency_video_size),
                   "--tracking-rate", str(rate), "--tracking-size", "48"]
        # Tail latency on a shared machine is mostly the wait for a CPU held by unrelated work. The "fifo"
        # runs give every process a real-time priority (a few per cent of a core in all), so that the
        # relays' own delays show; the "normal" runs are how the bridge is used.
        self.fifo = self.args.fifo_priority if policy == "fifo" else 0
        try:
            m = self.measure(relay, paths, options, self.args.seconds)
        finally:
            self.fifo = 0
        finals = m.pop("finals")
        for path in paths:
            final = finals[path]
            self.record({
                "test": "latency", "relay": relay, "path": path, "rate": rate, "policy": policy, "rep": rep,
                "received": final["received"], "lost": final["lost"],
                "p50_us": final["p50_us"], "p99_us": final["p99_us"], "max_us": final["max_us"], **m,
            })

    @contextlib.contextmanager
    def idle_bridge(self, relay, state):
        """A bridge with nothing to forward: no device ("searching"), or an app that answers its health
        checks and sends nothing ("silent-session", from when both streams are up). Stopped with Ctrl+C
        at the end, before the simulator."""
        sim = self.start_sim(["--no-device", "--quiet"] if state == "searching" else ["--no-video", "--no-tracking"])
        bridge = self.start(relay, [self.bridges[relay]])
        try:
            if state == "silent-session":
                self.wait_health(sim, ["video", "tracking"])
            yield bridge
        finally:
            self.stop_relays(relay, [bridge])
            sim.stop(signal.SIGINT)

    def idle(self, relay, state, rep):
        with self.idle_bridge(relay, state) as bridge:
            time.sleep(2)
            before, t0 = bridge.threads(), time.monotonic()
            cpu0 = bridge.cpu_seconds()
            time.sleep(self.args.idle_seconds)
            after, t1 = bridge.threads(), time.monotonic()
            cpu1 = bridge.cpu_seconds()
        window = t1 - t0
        # The threads alive at the end of the window, one started within it from its start; one that
        # ended within it is missed (threads_same says whether the sets at both ends were the same).
        per_thread = {}
        for tid, (name, ns, switches) in after.items():
            _, ns0, switches0 = before.get(tid, (name, 0, 0))
            entry = per_thread.setdefault(name, {"cpu_pct": 0.0, "wakeups_per_s": 0.0})
            entry["cpu_pct"] += 100 * (ns - ns0) / 1e9 / window
            entry["wakeups_per_s"] += (switches - switches0) / window
        for entry in per_thread.values():
            entry["cpu_pct"] = round(entry["cpu_pct"], 3)
            entry["wakeups_per_s"] = round(entry["wakeups_per_s"], 1)
        self.record({
            "test": "idle", "relay": relay, "state": state, "rep": rep, "window_s": round(window, 3),
            "cpu_pct": round(sum(e["cpu_pct"] for e in per_thread.values()), 3),
            "cpu_pct_ticks": round(100 * (cpu1 - cpu0) / window, 2),
            "wakeups_per_s": round(sum(e["wakeups_per_s"] for e in per_thread.values()), 1),
            "threads_same": sorted(before) == sorted(after), "threads": per_thread,
            "exit_codes": [bridge.p.returncode],
        })

    def stop(self, relay, rep):
        """Ctrl+C to exit with a connected, silent app, after 1 to 6 s (at random) of session, so that the
        signal falls anywhere within the bridge's 5 s receive timeouts."""
        delay = random.uniform(1, 6)
        with self.idle_bridge(relay, "silent-session") as bridge:
            time.sleep(delay)
        self.record({"test": "stop", "relay": relay, "rep": rep, "delay_s": round(delay, 2),
                     "stop_ms": round(1000 * bridge.stop_s, 1), "exit_codes": [bridge.p.returncode]})

    def record(self, result):
        self.runs.append(result)
        label = " ".join(str(result[k]) for k in KEYS if k in result)
        figures = {k: result[k] for k in FIELDS if k in result}
        print(f"  [{result['rep']}] {label}: {json.dumps(figures)}", flush=True)

    def attempt(self, what, *args):
        """One measurement; a failure is reported and recorded, and the benchmark goes on."""
        try:
            what(*args)
        except (RuntimeError, KeyError, OSError) as error:
            print(f"  {what.__name__}{args}: failed: {error}", file=sys.stderr, flush=True)
            self.failures.append(f"{what.__name__}{args}: {error}")

    def run(self):
        for rep in range(1, self.args.reps + 1):
            print(f"repetition {rep} of {self.args.reps}", flush=True)
            if "throughput" in self.args.tests:
                for case in self.args.throughput_cases.split(","):
                    path, size = case.split(":")[0], int(case.split(":")[1])
                    for relay in self.relays:
                        if relay == "iproxy" and path == "tracking":
                            continue
                        self.attempt(self.throughput, relay, path, size, rep)
            if "latency" in self.args.tests:
                for policy in self.args.latency_policies.split(","):
                    for rate in map(int, self.args.latency_rates.split(",")):
                        for relay in (r for r in self.relays if r != "reference+copy"):
                            self.attempt(self.latency, relay, rate, policy, rep)
            if "idle" in self.args.tests:
                for state in ("searching", "silent-session"):
                    for relay in self.bridges:
                        self.attempt(self.idle, relay, state, rep)
            if "stop" in self.args.tests:
                for relay in self.bridges:
                    self.attempt(self.stop, relay, rep)


# --- summary ---------------------------------------------------------------------------------------

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio(value, reference):
    if value is None or not reference:
        return None
    return round(value / reference, 3)


KEYS = ("test", "relay", "path", "size", "rate", "policy", "state")
FIELDS = ("packets_per_s", "mb_per_s", "lost", "cpu_s_per_gb", "p50_us", "p99_us", "max_us", "cpu_pct",
          "wakeups_per_s", "stop_ms", "relay_cpu_pct", "relay_runqueue_pct", "relay_page_faults", "sim_cpu_pct",
          "consumer_cpu_pct", "peak_rss_kb")
RATIO_FIELDS = ("packets_per_s", "mb_per_s", "cpu_s_per_gb", "p50_us", "p99_us", "max_us")
BEFORE_FIELDS = RATIO_FIELDS + ("cpu_pct", "wakeups_per_s", "stop_ms")


def paired_ratios(members, others, fields):
    """Per field, each run divided by the other relay's run of the same repetition (measured a few
    seconds apart), then the median of those ratios."""
    other = {r["rep"]: r for r in others}
    return {f: median([ratio(m[f], other[m["rep"]][f]) for m in members if m["rep"] in other])
            for f in fields if f in members[0]}


def summarize(runs):
    groups = {}
    for r in runs:
        key = tuple((k, r[k]) for k in KEYS if k in r)
        groups.setdefault(key, []).append(r)
    rows = []
    for key, members in groups.items():
        row = dict(key)
        row["reps"] = len(members)
        for field in FIELDS:
            if field in members[0]:
                row[field] = median([m[field] for m in members])
        if row["test"] == "stop":
            row["stop_ms_max"] = max(m["stop_ms"] for m in members)
        if row["test"] == "idle":
            names = sorted({n for m in members for n in m["threads"]})
            row["threads"] = {n: {f: median([m["threads"].get(n, {}).get(f) for m in members])
                                  for f in ("cpu_pct", "wakeups_per_s")} for n in names}
        def same_case(relay):
            return groups.get(tuple((k, relay if k == "relay" else v) for k, v in key), [])

        if row["relay"] != "reference" and row["test"] in ("throughput", "latency"):
            # The ratio of the two medians is kept as well.
            reference = same_case("reference")
            row["vs_reference"] = paired_ratios(members, reference, RATIO_FIELDS)
            row["vs_reference_of_medians"] = {f: ratio(row[f], median([r[f] for r in reference]))
                                              for f in row["vs_reference"]}
        if row["relay"] == "bridge" and same_case("bridge-before"):
            row["vs_before"] = paired_ratios(members, same_case("bridge-before"), BEFORE_FIELDS)
        rows.append(row)

    test_rank = {"throughput": 0, "latency": 1, "idle": 2, "stop": 3}
    relay_rank = {"reference": 0, "reference+copy": 1, "bridge-before": 2, "bridge": 3, "iproxy": 4}
    rows.sort(key=lambda r: (test_rank[r["test"]], r.get("policy", ""), r.get("rate", 0), r.get("path") == "tracking",
                             r.get("size", 0), r.get("state", ""), relay_rank[r["relay"]]))
    return rows


def targets(rows):
    verdicts = []
    for row in rows:
        if row["relay"] != "bridge":
            continue
        vs = row.get("vs_reference", {})
        if row["test"] == "throughput":
            r = vs.get("packets_per_s")
            verdicts.append({"target": f"throughput {row['path']} {row['size']} B >= 0.95 x reference",
                             "value": r, "met": r is not None and r >= 0.95})
            verdicts.append({"target": f"peak RSS {row['path']} {row['size']} B <= 10 MB",
                             "value": row["peak_rss_kb"], "met": row["peak_rss_kb"] <= 10 * 1024})
        elif row["test"] == "latency":
            r = vs.get("p99_us")
            verdicts.append({"target": f"latency p99 {row['path']} at {row['rate']}/s ({row['policy']} "
                                       f"scheduling) <= 1.2 x reference",
                             "value": r, "met": r is not None and r <= 1.2})
        elif row["test"] == "idle":
            verdicts.append({"target": f"idle CPU {row['state']} <= 1 % of one core",
                             "value": row["cpu_pct"], "met": row["cpu_pct"] <= 1.0})
        elif row["test"] == "stop":
            verdicts.append({"target": "Ctrl+C to exit with a silent app <= 100 ms (the longest run)",
                             "value": row["stop_ms_max"], "met": row["stop_ms_max"] <= 100})
    return verdicts


def fmt(value, digits=0):
    if value is None:
        return "–"
    if isinstance(value, float) and digits == 0:
        return f"{value:,.0f}"
    if isinstance(value, (int, float)):
        return f"{value:,.{digits}f}" if digits else f"{value:,}"
    return str(value)


def x(row, field):
    r = row.get("vs_reference", {}).get(field)
    return "1" if row["relay"] == "reference" else ("–" if r is None else f"{r:.2f}")


def markdown(report):
    rows, out = report["summary"], []
    out.append(f"Medians of {report['config']['reps']} repetitions. ×ref: each run divided by the reference "
               f"relay's run of the same repetition (a few seconds apart), median of those ratios (after ÷ "
               f"before: the same between the two bridges). Windows of "
               f"{report['config']['seconds']} s after "
               f"{report['config']['warmup']} s of warm-up.\n")
    out.append("### Throughput (the simulator writes as fast as it can)\n")
    out.append("| Stream | Size | Relay | Packets/s | MB/s | ×ref | Lost | Relay CPU s/GB | ×ref | Relay CPU % "
               "| Relay waiting for a CPU % | Sim CPU % | Receiver CPU % | Peak RSS |")
    out.append("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        if row["test"] != "throughput":
            continue
        out.append(f"| {row['path']} | {row['size']} B | {row['relay']} | {fmt(row['packets_per_s'])} | "
                   f"{fmt(row['mb_per_s'], 1)} | {x(row, 'mb_per_s')} | {fmt(row['lost'])} | "
                   f"{fmt(row['cpu_s_per_gb'], 2)} | {x(row, 'cpu_s_per_gb')} | {fmt(row['relay_cpu_pct'], 1)} | "
                   f"{fmt(row['relay_runqueue_pct'], 1)} | {fmt(row['sim_cpu_pct'], 1)} | {fmt(row['consumer_cpu_pct'], 1)} | "
                   f"{fmt(row['peak_rss_kb'])} KB |")
    out.append("\n### One-way latency, simulator write to receiver read (video and tracking at once)\n")
    out.append("| Scheduling | Rate | Stream | Relay | p50 µs | p99 µs | ×ref | max µs | Lost | Relay CPU % |")
    out.append("|---|---|---|---|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        if row["test"] != "latency":
            continue
        out.append(f"| {row['policy']} | {row['rate']:,}/s | {row['path']} | {row['relay']} | {fmt(row['p50_us'], 1)} | "
                   f"{fmt(row['p99_us'], 1)} | {x(row, 'p99_us')} | {fmt(row['max_us'], 1)} | {fmt(row['lost'])} | "
                   f"{fmt(row['relay_cpu_pct'], 1)} |")
    out.append("\n### Idle cost of the bridge\n")
    out.append("| State | Relay | CPU % of one core | Wake-ups/s | Per thread: CPU % (wake-ups/s) |")
    out.append("|---|---|---:|---:|---|")
    for row in rows:
        if row["test"] != "idle":
            continue
        parts = ", ".join(f"{name} {t['cpu_pct']:.3f} % ({t['wakeups_per_s']:.0f}/s)"
                          for name, t in sorted(row["threads"].items(), key=lambda kv: -(kv[1]["cpu_pct"] or 0)))
        out.append(f"| {row['state']} | {row['relay']} | {row['cpu_pct']:.3f} | {fmt(row['wakeups_per_s'], 1)} | "
                   f"{parts} |")
    out.append("\n### Ctrl+C to exit with a connected, silent app\n")
    out.append("| Relay | Median ms | Max ms | Runs |")
    out.append("|---|---:|---:|---:|")
    for row in rows:
        if row["test"] == "stop":
            out.append(f"| {row['relay']} | {fmt(row['stop_ms'], 1)} | {fmt(row['stop_ms_max'], 1)} | {row['reps']} |")
    if any("vs_before" in row for row in rows):
        out.append("\n### After ÷ before (bridge ÷ bridge-before, paired by repetition, median of the ratios)\n")
        out.append("| Case | Ratios |")
        out.append("|---|---|")
        for row in rows:
            if "vs_before" in row:
                case = " ".join(str(row[k]) for k in KEYS if k in row and k != "relay")
                ratios = ", ".join(f"{f} {v:.3g}" for f, v in row["vs_before"].items() if v is not None)
                out.append(f"| {case} | {ratios} |")
    out.append("\n### How to read these figures\n")
    out.append(NOTES)
    out.append("\n### Targets\n")
    out.append("| Target | Value | Met |")
    out.append("|---|---:|---|")
    for v in report["targets"]:
        value = v["value"]
        shown = "–" if value is None else (f"{value:.3f}" if isinstance(value, float) else f"{value:,}")
        out.append(f"| {v['target']} | {shown} | {'yes' if v['met'] else '**no**'} |")
    return "\n".join(out) + "\n"


NOTES = """\
- Reference: bench/reference_relay, one thread that reads a prefix, reads the payload into a fixed buffer
  and sends it with one `sendto` (two receives per packet); for the latency runs one process per stream.
  reference+copy: the same in a multi-threaded process and with one allocation and copy of exact size per
  packet, as the bridge forwarded until it sent payloads from its stream buffer. Bridge: vantrel-usb as
  shipped; it takes every frame that has arrived with one receive, so at small packets it makes fewer
  system calls than the reference. iproxy: libusbmuxd's iproxy forwarding the simulated port to a TCP
  reader (bench/tcp_reader); it relays a byte stream, so its "packets/s" are the app's frames passing
  through it, not datagrams, and only its MB/s compare with the relays. bridge-before (with
  `--baseline`): another build of vantrel-usb, measured in the same repetitions as the others.
- Every process runs on this machine: the simulator (usbmuxd and the app), the relay and the receiver
  (`vantrel-sim receive` with a 256 MiB socket buffer, reading with recvmmsg) share its cores.
- Lost: stamped packets whose sequence numbers never reached the receiver (UDP drops at either socket).
- Relay CPU s/GB: the relay's user + system time per GB delivered. "Waiting for a CPU": the share of the
  window in which the relay's threads were runnable but not running (schedstat); high values mean the
  machine, not the relay, set the pace.
- Every process runs in a scheduling group of its own at nice −10, against other work on a shared machine.
  Latency runs twice: "normal" (the default policy, as the bridge is used; here its tails are mostly
  waits for a CPU held by unrelated work) and "fifo" (SCHED_FIFO for every process, so that the relays'
  own delays show). iproxy's latency includes the coalescing of small writes on its TCP connections
  (Nagle's algorithm, delayed ACKs).
- Idle: the bridge alone for the idle window, searching (no device) or with a silent app (connected, sending
  nothing). CPU % from schedstat; wake-ups are voluntary context switches (/proc/…/task/*/status),
  summed over the threads alive at the end of the window (one started within it counted from its
  start; one that ended within it would be missed, and none did when threads_same is true in
  results.json).
- Ctrl+C to exit: a silent session of 1 to 6 s (at random, so that the signal falls anywhere within
  the bridge's receive timeouts), then SIGINT; the time until the process has exited (waitpid).
"""


def machine():
    info = {"kernel": platform.release(), "cores": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            info["memory_gb"] = round(int(f.readline().split()[1]) / 1024 / 1024, 1)
        info["load_average_at_start"] = os.getloadavg()
    except OSError:
        pass
    return info


def write_markdown(report, out):
    """results.md beside results.json, also printed."""
    info = report["machine"]
    text = markdown(report)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(f"# Benchmark results, {report['date']}\n\n")
        f.write(f"Machine: {info.get('cpu', '?')}, {info['cores']} cores, {info.get('memory_gb', '?')} GB, "
                f"Linux {info['kernel']}; load average {info['load_average_at_start'][0]:.2f} at the start, "
                f"{info['load_average_at_end'][0]:.2f} at the end. Run time {report['duration_s']} s.\n\n")
        f.write(text)
    print()
    print(text)
    print(f"results: {out}/results.md and results.json")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build-bench", help="the build directory")
    parser.add_argument("--bridge", help="the vantrel-usb to measure (default: the one of the build directory)")
    parser.add_argument("--baseline", metavar="PATH",
                        help="another vantrel-usb, measured as the relay bridge-before in the same repetitions")
    parser.add_argument("--out", default="bench/results", help="where results and logs go")
    parser.add_argument("--reps", type=int, default=3, help="repetitions of every measurement")
    parser.add_argument("--seconds", type=float, default=5, help="measured window of each run")
    parser.add_argument("--warmup", type=float, default=1, help="streaming before the window opens")
    parser.add_argument("--idle-seconds", type=float, default=10, help="measured window of the idle runs")
    parser.add_argument("--latency-video-size", type=int, default=1400, help="video payload of the latency runs")
    parser.add_argument("--tests", default="throughput,latency,idle,stop", help="comma-separated subset")
    parser.add_argument("--relays", default="reference,reference+copy,bridge,iproxy",
                        help="comma-separated subset (reference+copy: throughput runs only)")
    parser.add_argument("--throughput-cases", default="video:48,video:1400,video:60000,tracking:48",
                        help="STREAM:SIZE list of the throughput runs")
    parser.add_argument("--latency-policies", default="normal,fifo",
                        help="scheduling of the latency runs: normal, fifo (SCHED_FIFO for every process), or both")
    parser.add_argument("--fifo-priority", type=int, default=10, help="SCHED_FIFO priority of the fifo runs")
    parser.add_argument("--latency-rates", default="1000,10000", help="packet rates of the latency runs")
    parser.add_argument("--no-iproxy", dest="iproxy", action="store_false", help="leave libusbmuxd's iproxy out")
    parser.add_argument("--nice", type=int, default=-10,
                        help="nice value of the benchmark's processes and of their scheduling groups, "
                             "against other work on a shared machine; 0 leaves priorities alone")
    parser.add_argument("--render", metavar="DIR", help="only write DIR/results.md again from DIR/results.json")
    args = parser.parse_args()
    if args.render:
        with open(os.path.join(args.render, "results.json")) as f:
            report = json.load(f)
        report["summary"] = summarize(report["runs"])
        report["targets"] = targets(report["summary"])
        write_markdown(report, args.render)
        return 0
    args.tests = args.tests.split(",")
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    args.out = os.path.join(args.out, stamp)
    os.makedirs(args.out, exist_ok=True)
    if args.iproxy and subprocess.run(["sh", "-c", "command -v iproxy"], capture_output=True).returncode != 0:
        print("bench: iproxy not found (Debian libusbmuxd-tools); measuring without it", file=sys.stderr)
        args.iproxy = False

    started = datetime.datetime.now().astimezone()
    info = machine()
    bench = Bench(args)
    bench.run()
    info["load_average_at_end"] = os.getloadavg()
    summary = summarize(bench.runs)
    report = {
        "date": started.isoformat(timespec="seconds"),
        "duration_s": round((datetime.datetime.now().astimezone() - started).total_seconds()),
        "machine": info,
        "config": {k: v for k, v in vars(args).items()},
        "summary": summary,
        "targets": targets(summary),
        "runs": bench.runs,
        "failed_runs": bench.failures,
    }
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(report, f, indent=1)
    write_markdown(report, args.out)
    if bench.failures:
        print(f"{len(bench.failures)} run(s) failed; see {args.out}/logs", file=sys.stderr)
    return 0 if all(v["met"] for v in report["targets"]) and not bench.failures else 1


if __name__ == "__main__":
    sys.exit(main())
