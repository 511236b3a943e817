#include "sim/simulator.h"

#include <unistd.h>

#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
constexpr std::uint64_t NS_PER_S = 1'000'000'000;

// In script mode every feedback frame is reported; elsewhere only when asked for.
bool feedback_events(const SimConfig& config) {
    return config.feedback_events || config.script_stdin || !config.script.empty();
}
}  // namespace

Simulator::Simulator(SimConfig config)
    : config_(std::move(config)),
      output_(config_.quiet),
      tunnels_(loop_, devices_, config_.script_stdin),
      app_(output_, devices_, tunnels_, feedback_events(config_)),
      daemon_(loop_, output_, devices_, tunnels_),
      script_(output_, devices_, tunnels_, app_, daemon_, config_.script_stdin) {}

std::expected<void, std::string> Simulator::start() {
    if (auto opened = loop_.open(); !opened) return opened;
    return daemon_.listen(config_.unix_path, config_.tcp_address);
}

int Simulator::run() {
    start_ns_ = monotonic_ns();
    for (const Command& c : config_.startup) script_.push(c, true);
    script_.run(start_ns_);
    output_.line("ready");
    output_.flush();
    schedule();
    while (!script_.quitting()) {
        turn();
        if (script_.quitting()) break;
        std::optional<std::uint64_t> wake = timers_.next_ns();
        for (auto due : {app_.next_due_ns(), script_.deadline_ns(), tunnels_.next_due_ns()})
            if (due) wake = wake ? std::min(*wake, *due) : *due;
        for (const Ready& ready : loop_.wait(wake)) dispatch(ready);
        if (loop_.stopped()) script_.quit();
    }
    output_.flush();
    return 0;
}

// What runs after the start-up commands: the script, the schedule, the end and the progress lines.
void Simulator::schedule() {
    for (const Command& c : config_.script) script_.push(c, false);
    for (const auto& [ms, c] : config_.scheduled)
        timers_.add(start_ns_ + ms * NS_PER_MS, [this, c] { script_.push(c, true); });
    if (config_.duration_ms)
        timers_.add(start_ns_ + *config_.duration_ms * NS_PER_MS, [this] { script_.quit(); });
    if (config_.progress) timers_.add(start_ns_ + NS_PER_S, [this] { print_progress(monotonic_ns()); });
    if (config_.script_stdin && !loop_.watch(STDIN_FILENO, Key{Key::Source::Script})) {
        // A regular file cannot be polled: it is always readable, so read it all now.
        while (script_.stdin_open()) script_.read_stdin();
    }
}

// One turn of the loop: timers, due streams and commands, then the output.
void Simulator::turn() {
    std::uint64_t now = monotonic_ns();
    timers_.run_due(now);
    app_.run_due(now);
    tunnels_.service_due(now);
    app_.settle();
    script_.run(now);
    output_.flush();
}

void Simulator::dispatch(const Ready& ready) {
    switch (ready.key.source) {
        case Key::Source::Script:
            script_.read_stdin();
            if (!script_.stdin_open()) loop_.unwatch(STDIN_FILENO);
            break;
        case Key::Source::UnixListener:
        case Key::Source::TcpListener:
        case Key::Source::Client: daemon_.on_ready(ready.key, ready.events); break;
        case Key::Source::Tunnel: tunnels_.on_ready(ready.key.id, ready.events); break;
        case Key::Source::StreamSource: tunnels_.on_source_ready(); break;
        case Key::Source::Signals:
        case Key::Source::Datagrams: break;  // the loop's own, and the receiver's
    }
    app_.settle();
}

void Simulator::print_progress(std::uint64_t now) {
    std::uint64_t seconds = (now - start_ns_ + NS_PER_S / 2) / NS_PER_S;
    for (const auto& [device, port] : tunnels_.open_ports()) {
        const PortStats& s = devices_.port(device, port)->stats;
        output_.line(format("progress t={} device={} port={} sent={} bytes={} feedback={}", seconds, device,
                            port, s.sent, s.bytes, s.feedback));
    }
    timers_.add(now + NS_PER_S, [this] { print_progress(monotonic_ns()); });
}

}  // namespace vantrel::sim
