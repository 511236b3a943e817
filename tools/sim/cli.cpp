#include "sim/cli.h"

#include <unistd.h>

#include <fstream>
#include <optional>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

const std::string_view USAGE_TEXT =
    "Usage: vantrel-sim [OPTION...]\n"
    "       vantrel-sim receive [RECEIVE-OPTION...]\n"
    "Run 'vantrel-sim --help' for every option and the script commands.\n";

const std::string_view HELP_HEAD = R"(Usage: vantrel-sim [OPTION...]
       vantrel-sim receive [RECEIVE-OPTION...]

Plays usbmuxd and iPhones running the Vantrel app, so that vantrel-usb can be run, tested,
demonstrated and measured without a device. 'receive' plays the local UDP consumers.

Daemon:
  --unix PATH             serve usbmuxd's protocol on this Unix socket (default /var/run/usbmuxd);
                          a stale socket file there is removed first
  --tcp ADDR              serve it on this TCP address as well (default 127.0.0.1:27015)
  --no-unix, --no-tcp     leave that listener out
  --list-reply MODE       answer ListDevices normal, binary, garbage, badlength[:LEN], silent, close,
                          partial, nested-binary[:DEPTH] or nested-xml[:DEPTH]
  --connect-reply MODE    answer Connect normal, silent or partial

Devices (plugged at the start, ids 1, 2, ... in order):
  --device SERIAL         plug a device with this serial number (repeatable); without --script and
                          --script-file one device VANTREL-SIM-0001 is plugged unless --no-device
  --device-hex HEX        the same with a serial number given as bytes in hex (control bytes, bytes
                          that are not UTF-8; not 00)
  --no-device             plug none
  --health MODE           how both ports answer the health check: answer, ignore, late:MS or
                          split:MS (half the payload at once, the rest MS later)
  --refuse-until SECONDS  refuse connections to both ports for this long after the start
  --stamp                 stamp generated packets (magic, stream id, sequence, send time)
  --seed N                seed of the random packet sizes (default 1)

Streams, started on every new tunnel once the health check is done (port 5000 video, 4242 tracking;
on by default without --script and --script-file, otherwise when one of their options is given):
  --video-rate N          packets per second, 0 = as fast as the bridge reads (default 30)
  --video-size N|MIN-MAX  payload bytes, fixed or uniformly random (default 1000-8000)
  --video-file FILE|-     cut the payloads from FILE or standard input instead of generating them
  --video-count N         stop after N packets
  --video-then ACTION     then: close, zero-length, over-length, half-prefix, half-frame, silent
                          or unplug (default: stay connected and quiet)
  --no-video              no video stream
  --tracking-rate, --tracking-size, --tracking-file, --tracking-count, --tracking-then,
  --no-tracking           the same for tracking (defaults: 60 packets/s of 48 bytes)
  --loop                  start a file over at its end (regular files)

Script and schedule:
  --script                read commands from standard input, one reply line each; EOF ends
  --script-file FILE      run the commands in FILE first (the simulator keeps running after them)
  --at SECONDS COMMAND    run COMMAND that many seconds after the start (repeatable)
  --duration SECONDS      end after this long
  --feedback-events       report every feedback frame also without a script
  --progress              print a progress line per connected tunnel every second
  --quiet                 print no event lines
  -h, --help              show this help;  --version  show the version

Commands (N: device id, PORT: device port, MS: milliseconds):
)";

const std::string_view HELP_TAIL =
    R"(Events: connect, disconnect, refused, unknown-device, health, feedback, data, bad-frame,
  stream-done, stream-error, list-devices, client-error (each line starts with "event ").

Receive options (vantrel-sim receive):
  --video ADDR            bind the video consumer here (default 127.0.0.1:5000)
  --tracking ADDR         bind the tracking consumer here (default 127.0.0.1:4242)
  --duration SECONDS      end after this long (default: at SIGINT or SIGTERM)
  --feedback-rate N       send N feedback datagrams per second to the sender of the video datagrams
  --feedback-size N       bytes per feedback datagram, stamped from 24 bytes on (default 64)
  --json                  JSON lines instead of key=value lines
  --quiet                 only the final statistics
  --rcvbuf BYTES          receive buffer of both sockets (default 8388608)

Exit status: 0 after quit, the end of the script input, --duration, SIGINT or SIGTERM;
1 when a listener or socket cannot be set up; 2 for bad arguments.
)";

std::string help_text() {
    constexpr std::size_t COLUMN = 37;
    std::string text(HELP_HEAD);
    for (const CommandSpec& spec : command_table()) {
        std::string line = "  " + std::string(spec.usage);
        if (!spec.help.empty()) {
            if (line.size() >= COLUMN) line += "\n" + std::string(COLUMN, ' ');
            line += std::string(COLUMN - std::min(line.size(), COLUMN), ' ') + std::string(spec.help);
        }
        text += line + "\n";
    }
    return text + std::string(HELP_TAIL);
}

namespace {

using Op = Command::Op;

std::unexpected<std::string> fail(std::string text) {
    return std::unexpected(std::move(text));
}

// Walks the arguments; accepts "--name VALUE" and "--name=VALUE".
class Args {
public:
    explicit Args(const std::vector<std::string>& args, std::size_t first) : args_(args), i_(first) {}
    bool done() const { return i_ >= args_.size(); }
    std::string_view next_name() {
        std::string_view arg = args_[i_++];
        inline_value_.reset();
        if (arg.starts_with("--")) {
            if (auto eq = arg.find('='); eq != std::string_view::npos) {
                inline_value_ = arg.substr(eq + 1);
                return arg.substr(0, eq);
            }
        }
        return arg;
    }
    std::expected<std::string_view, std::string> value(std::string_view name) {
        if (inline_value_) return *std::exchange(inline_value_, std::nullopt);
        if (i_ >= args_.size()) return fail(format("{} needs a value", name));
        return std::string_view(args_[i_++]);
    }
    bool has_inline_value() const { return inline_value_.has_value(); }

private:
    const std::vector<std::string>& args_;
    std::size_t i_;
    std::optional<std::string_view> inline_value_;
};

struct StreamOptions {
    std::optional<std::uint64_t> rate;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> size;
    std::optional<std::string> file;
    std::optional<std::uint64_t> count;
    std::optional<FaultKind> then;
    bool off = false;
    bool given() const { return rate || size || file || count || then; }
};

std::expected<std::uint64_t, std::string> number(std::string_view name, std::string_view text) {
    auto n = parse_u64(text);
    if (!n) return fail(format("{}: \"{}\" is not a number", name, text));
    return *n;
}

std::expected<std::uint64_t, std::string> seconds(std::string_view name, std::string_view text) {
    auto ms = parse_seconds_ms(text);
    if (!ms) return fail(format("{}: \"{}\" is not a number of seconds", name, text));
    return *ms;
}

// Handles --video-* / --tracking-*; false when `name` is none of them.
std::expected<bool, std::string> stream_option(std::string_view prefix, std::string_view name, Args& args,
                                               StreamOptions& o) {
    if (!name.starts_with(prefix)) return false;
    std::string_view key = name.substr(prefix.size());
    if (key != "rate" && key != "size" && key != "file" && key != "count" && key != "then") return false;
    auto v = args.value(name);
    if (!v) return std::unexpected(v.error());
    if (key == "rate") {
        auto n = number(name, *v);
        if (!n) return std::unexpected(n.error());
        if (*n > MAX_STREAM_RATE) return fail(format("{}: at most {}", name, MAX_STREAM_RATE));
        o.rate = *n;
    } else if (key == "size") {
        auto r = parse_range(*v);
        if (!r || r->first == 0 || r->second > MAX_STREAM_PACKET)
            return fail(
                format("{}: \"{}\" is not N or MIN-MAX between 1 and {}", name, *v, MAX_STREAM_PACKET));
        o.size = *r;
    } else if (key == "file") {
        if (*v != "-" && ::access(std::string(*v).c_str(), R_OK) != 0)
            return fail(format("{}: cannot read {}", name, *v));
        o.file = std::string(*v);
    } else if (key == "count") {
        auto n = number(name, *v);
        if (!n) return std::unexpected(n.error());
        if (*n == 0) return fail(format("{}: must be at least 1", name));
        o.count = *n;
    } else {
        auto f = parse_fault(*v);
        if (!f) return fail(format("{}: unknown action \"{}\"", name, *v));
        o.then = *f;
    }
    return true;
}

std::expected<StreamSettings, std::string> build_settings(const StreamOptions& o, std::uint64_t rate,
                                                          std::pair<std::uint64_t, std::uint64_t> size,
                                                          bool stamp, std::uint64_t seed, bool loop,
                                                          std::string_view what) {
    StreamSettings settings;
    settings.rate = o.rate.value_or(rate);
    auto s = o.size.value_or(size);
    settings.size_min = static_cast<std::uint32_t>(s.first);
    settings.size_max = static_cast<std::uint32_t>(s.second);
    settings.count = o.count;
    settings.then = o.then;
    settings.file = o.file.value_or("");
    settings.stamp = stamp && settings.file.empty();
    settings.seed = seed;
    settings.loop = loop && !settings.file.empty();
    if (auto ok = check_stream_settings(settings); !ok)
        return fail(format("{} stream: {}", what, ok.error()));
    return settings;
}

std::expected<std::vector<Command>, std::string> read_script(const std::string& path) {
    std::ifstream in(path);
    if (!in) return fail(format("--script-file: cannot read {}", path));
    std::vector<Command> commands;
    std::string line;
    for (int line_number = 1; std::getline(in, line); ++line_number) {
        if (!is_command_line(line)) continue;
        auto c = parse_command(line);
        if (!c) return fail(format("{}:{}: {}", path, line_number, c.error()));
        commands.push_back(std::move(*c));
    }
    return commands;
}

std::expected<Invocation, std::string> parse_receive(const std::vector<std::string>& args) {
    ReceiverConfig config;
    Args a(args, 2);
    while (!a.done()) {
        std::string_view name = a.next_name();
        if (name == "-h" || name == "--help") return ShowHelp{};
        if (name == "--json" || name == "--quiet") {
            if (a.has_inline_value()) return fail(format("{} takes no value", name));
            (name == "--json" ? config.json : config.quiet) = true;
            continue;
        }
        auto v = a.value(name);
        if (name != "--video" && name != "--tracking" && name != "--duration" && name != "--feedback-rate" &&
            name != "--feedback-size" && name != "--rcvbuf")
            return fail(format("receive: unknown option {}", name));
        if (!v) return std::unexpected(v.error());
        if (name == "--video" || name == "--tracking") {
            if (!net::parse_ipv4(*v)) return fail(format("{}: \"{}\" is not a.b.c.d:port", name, *v));
            (name == "--video" ? config.video_address : config.tracking_address) = std::string(*v);
        } else if (name == "--duration") {
            auto ms = seconds(name, *v);
            if (!ms) return std::unexpected(ms.error());
            config.duration_ms = *ms;
        } else {
            auto n = number(name, *v);
            if (!n) return std::unexpected(n.error());
            if (name == "--feedback-rate") {
                if (*n > MAX_STREAM_RATE) return fail(format("{}: at most {}", name, MAX_STREAM_RATE));
                config.feedback_rate = *n;
            } else if (name == "--feedback-size") {
                if (*n == 0 || *n > 65507) return fail(format("{}: between 1 and 65507", name));
                config.feedback_size = static_cast<std::uint32_t>(*n);
            } else {
                if (*n == 0 || *n > (1u << 30)) return fail(format("{}: between 1 and {}", name, 1u << 30));
                config.receive_buffer = static_cast<std::uint32_t>(*n);
            }
        }
    }
    return config;
}

}  // namespace

std::expected<Invocation, std::string> parse_command_line(const std::vector<std::string>& args) {
    if (args.size() > 1 && args[1] == "receive") return parse_receive(args);

    SimConfig config;
    std::vector<std::string> serials;
    bool no_device = false, stamp = false, loop = false;
    std::uint64_t seed = 1;
    std::optional<HealthMode> health;
    std::uint64_t late_ms = 0;
    std::optional<std::uint64_t> refuse_ms;
    std::optional<ListReply> list_reply;
    std::uint32_t list_length = 16;
    std::optional<Command> connect_reply;
    StreamOptions video, tracking;
    std::optional<std::string> script_file;

    Args a(args, 1);
    while (!a.done()) {
        std::string_view name = a.next_name();
        auto flag = [&](bool& target) -> std::expected<void, std::string> {
            if (a.has_inline_value()) return fail(format("{} takes no value", name));
            target = true;
            return {};
        };
        std::expected<void, std::string> ok;
        if (name == "-h" || name == "--help") return ShowHelp{};
        if (name == "--version") return ShowVersion{};
        if (auto s = stream_option("--video-", name, a, video); !s)
            return std::unexpected(s.error());
        else if (*s)
            continue;
        if (auto s = stream_option("--tracking-", name, a, tracking); !s)
            return std::unexpected(s.error());
        else if (*s)
            continue;

        if (name == "--no-unix") {
            bool b = false;
            ok = flag(b);
            config.unix_path.reset();
        } else if (name == "--no-tcp") {
            bool b = false;
            ok = flag(b);
            config.tcp_address.reset();
        } else if (name == "--no-device") {
            ok = flag(no_device);
        } else if (name == "--no-video") {
            ok = flag(video.off);
        } else if (name == "--no-tracking") {
            ok = flag(tracking.off);
        } else if (name == "--stamp") {
            ok = flag(stamp);
        } else if (name == "--loop") {
            ok = flag(loop);
        } else if (name == "--script") {
            ok = flag(config.script_stdin);
        } else if (name == "--feedback-events") {
            ok = flag(config.feedback_events);
        } else if (name == "--progress") {
            ok = flag(config.progress);
        } else if (name == "--quiet") {
            ok = flag(config.quiet);
        } else if (name == "--unix" || name == "--tcp" || name == "--device" || name == "--device-hex" ||
                   name == "--health" || name == "--refuse-until" || name == "--seed" ||
                   name == "--list-reply" || name == "--connect-reply" || name == "--at" ||
                   name == "--duration" || name == "--script-file") {
            auto v = a.value(name);
            if (!v) return std::unexpected(v.error());
            if (name == "--unix") {
                if (v->empty()) return fail("--unix: empty path");
                config.unix_path = std::string(*v);
            } else if (name == "--tcp") {
                if (!net::parse_ipv4(*v)) return fail(format("--tcp: \"{}\" is not a.b.c.d:port", *v));
                config.tcp_address = std::string(*v);
            } else if (name == "--device") {
                if (v->empty() || split_words(*v).size() != 1)
                    return fail(format("--device: \"{}\" is not a serial number", *v));
                serials.emplace_back(*v);
            } else if (name == "--device-hex") {
                auto serial = parse_serial_hex(*v);
                if (!serial) return fail(format("--device-hex: {}", serial.error()));
                serials.push_back(std::move(*serial));
            } else if (name == "--health") {
                if (*v == "answer") {
                    health = HealthMode::Answer;
                } else if (*v == "ignore") {
                    health = HealthMode::Ignore;
                } else if (v->starts_with("late:") && parse_u64(v->substr(5))) {
                    health = HealthMode::Late;
                    late_ms = *parse_u64(v->substr(5));
                } else if (v->starts_with("split:") && parse_u64(v->substr(6))) {
                    health = HealthMode::Split;
                    late_ms = *parse_u64(v->substr(6));
                } else {
                    return fail(format("--health: \"{}\" is not answer, ignore, late:MS or split:MS", *v));
                }
            } else if (name == "--refuse-until") {
                auto ms = seconds(name, *v);
                if (!ms) return std::unexpected(ms.error());
                refuse_ms = *ms;
            } else if (name == "--seed") {
                auto n = number(name, *v);
                if (!n) return std::unexpected(n.error());
                seed = *n;
            } else if (name == "--list-reply") {
                std::string line = "list-reply " + std::string(*v);
                if (auto colon = line.find(':'); colon != std::string::npos) line[colon] = ' ';
                auto c = parse_command(line);
                if (!c || c->op != Op::ListReplyMode)
                    return fail(format("--list-reply: bad mode \"{}\"", *v));
                list_reply = c->list_reply;
                list_length = c->list_length;
            } else if (name == "--connect-reply") {
                connect_reply = parse_command("connect-reply " + std::string(*v)).value_or(Command{});
                if (connect_reply->op != Op::ConnectReplyMode)
                    return fail(format("--connect-reply: bad mode \"{}\"", *v));
            } else if (name == "--at") {
                auto ms = seconds(name, *v);
                if (!ms) return std::unexpected(ms.error());
                auto text = a.value(name);
                if (!text) return fail("--at needs SECONDS and a COMMAND");
                auto c = parse_command(*text);
                if (!c) return fail(format("--at {} \"{}\": {}", *v, *text, c.error()));
                config.scheduled.emplace_back(*ms, std::move(*c));
            } else if (name == "--duration") {
                auto ms = seconds(name, *v);
                if (!ms) return std::unexpected(ms.error());
                config.duration_ms = *ms;
            } else {
                script_file = std::string(*v);
            }
        } else {
            return fail(format("unknown option {}", name));
        }
        if (!ok) return std::unexpected(ok.error());
    }

    if (!config.unix_path && !config.tcp_address)
        return fail("--no-unix and --no-tcp leave nothing to serve");
    bool scripted = config.script_stdin || script_file.has_value();
    if (config.script_stdin && (video.file == "-" || tracking.file == "-"))
        return fail("standard input carries the script: it cannot also be a stream's file");
    if (video.file == "-" && tracking.file == "-") return fail("only one stream can read standard input");
    if (script_file) {
        auto commands = read_script(*script_file);
        if (!commands) return std::unexpected(commands.error());
        config.script = std::move(*commands);
    }
    if (serials.empty() && !scripted && !no_device) serials.emplace_back(DEFAULT_SERIAL);
    if (no_device) serials.clear();

    bool video_on = !video.off && (video.given() || !scripted);
    bool tracking_on = !tracking.off && (tracking.given() || !scripted);
    std::optional<StreamSettings> video_settings, tracking_settings;
    if (video_on) {
        auto settings = build_settings(video, 30, {1000, 8000}, stamp, seed, loop, "video");
        if (!settings) return std::unexpected(settings.error());
        video_settings = std::move(*settings);
    }
    if (tracking_on) {
        auto settings = build_settings(tracking, 60, {48, 48}, stamp, seed, loop, "tracking");
        if (!settings) return std::unexpected(settings.error());
        tracking_settings = std::move(*settings);
    }
    if (serials.empty() && (video.given() || tracking.given() || health || refuse_ms))
        return fail("device options need a device: add --device SERIAL");

    if (list_reply) {
        Command c;
        c.op = Op::ListReplyMode;
        c.list_reply = *list_reply;
        c.list_length = list_length;
        config.startup.push_back(c);
    }
    if (connect_reply) config.startup.push_back(*connect_reply);
    for (std::size_t i = 0; i < serials.size(); ++i) {
        auto id = static_cast<std::uint32_t>(i + 1);
        Command plug;
        plug.op = Op::Plug;
        plug.serial = serials[i];
        config.startup.push_back(plug);
        for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) {
            Command c;
            c.device = id;
            c.port = port;
            if (health) {
                c.op = Op::Health;
                c.health = *health;
                c.ms = late_ms;
                config.startup.push_back(c);
            }
            if (refuse_ms) {
                c.op = Op::Refuse;
                c.ms = *refuse_ms;
                config.startup.push_back(c);
            }
            const auto& settings = port == 5000 ? video_settings : tracking_settings;
            if (settings) {
                c.op = Op::AutoStream;
                c.on = true;
                c.stream = *settings;
                config.startup.push_back(c);
            }
        }
    }
    return config;
}

}  // namespace vantrel::sim
