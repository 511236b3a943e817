#include "sim/cli.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include <fmt/format.h>

#include "net/address.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {

using Op = Command::Op;

// The arguments after an option's value, for an option that takes a second one (--at SECONDS COMMAND).
class Following {
public:
    Following(int argc, char** argv) : argc_(argc), argv_(argv) {}
    std::optional<std::string_view> take() {
        if (::optind >= argc_) return std::nullopt;
        return std::string_view(argv_[::optind++]);
    }

private:
    int argc_;
    char** argv_;
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

// The stream of one port as its options leave it: the defaults until an option says otherwise.
struct StreamOptions {
    std::string_view what;
    StreamSettings settings;
    bool given = false, off = false;
};

// What the options of the simulator collect; the configuration is completed from it at the end.
struct Collected : SimConfig {
    std::vector<std::string> serials;
    bool no_device = false, stamp = false, loop = false;
    ConnectionType connection = ConnectionType::Usb;
    std::uint64_t seed = 1;
    std::optional<Command> health, list_reply, connect_reply;  // applied at the start
    std::optional<std::uint64_t> refuse_ms;
    StreamOptions video{"video", {.rate = 30, .size_min = 1000, .size_max = 8000}};
    StreamOptions tracking{"tracking", {.rate = 60, .size_min = 48, .size_max = 48}};
    std::optional<std::string> script_file;
};

using Result = std::expected<void, std::string>;

// A row of an option table: a flag when `value` is empty; `brief` is its short form ('\0': none).
// `section` starts a group in --help; `help` may hold "\n" for its continuation lines.
template <typename Target>
struct OptionEntry {
    std::string_view section;
    char brief;
    std::string_view name;
    std::string_view value;
    std::string_view help;
    Result (*handle)(Target& target, std::string_view name, std::string_view value, Following& following);
};

// Stores a parsed value (into a T or an optional<T>), or passes the error on.
template <typename Target, typename T>
Result assign(Target& target, std::expected<T, std::string> value) {
    if (!value) return std::unexpected(value.error());
    target = std::move(*value);
    return {};
}

// An option whose value `Parse` reads into the member it names.
template <auto Member, auto Parse, typename Target>
Result store(Target& target, std::string_view name, std::string_view v, Following&) {
    return assign(target.*Member, Parse(name, v));
}

// A flag that sets the bool member it names.
template <auto Flag, typename Target>
Result flag(Target& target, std::string_view, std::string_view, Following&) {
    target.*Flag = true;
    return {};
}

// A value option that is a script command in disguise: "--list-reply badlength:20" is
// "list-reply badlength 20", "--health late:MS" is "health 1 1 late MS".
bool as_command(std::optional<Command>& target, std::string prefix, std::string_view v) {
    std::string line = prefix + std::string(v);
    std::replace(line.begin() + static_cast<std::ptrdiff_t>(prefix.size()), line.end(), ':', ' ');
    auto c = parse_command(line);
    if (c) target = std::move(*c);
    return c.has_value();
}

template <std::optional<Command> Collected::*Member>
Result reply_mode(Collected& o, std::string_view name, std::string_view v, Following&) {
    if (as_command(o.*Member, std::string(name.substr(2)) + " ", v)) return {};
    return fail(format("{}: bad mode \"{}\"", name, v));
}

Result health(Collected& o, std::string_view, std::string_view v, Following&) {
    bool known = v == "answer" || v == "ignore" || v.starts_with("late:") || v.starts_with("split:") ||
                 v.starts_with("trickle:");
    if (known && as_command(o.health, "health 1 1 ", v)) return {};
    return fail(
        format("--health: \"{}\" is not answer, ignore, late:MS, split:MS or trickle:MS[:LENGTH]", v));
}

// The settings of the stream an option names (--video-..., --tracking-...).
StreamSettings& stream_of(Collected& o, std::string_view name) {
    StreamOptions& s = name.starts_with("--video") ? o.video : o.tracking;
    s.given = true;
    return s.settings;
}

// --video-rate N is the stream option rate=N of the video stream; so for size, count and then.
Result stream_option(Collected& o, std::string_view name, std::string_view v, Following&) {
    std::string word = format("{}={}", name.substr(name.find('-', 2) + 1), v);
    if (auto r = set_stream_option(stream_of(o, name), word); !r)
        return fail(format("{}: {}", name, r.error()));
    return {};
}

Result stream_file(Collected& o, std::string_view name, std::string_view v, Following&) {
    if (v != "-" && ::access(std::string(v).c_str(), R_OK) != 0)
        return fail(format("{}: cannot read {}", name, v));
    stream_of(o, name).file = std::string(v);
    return {};
}

Result no_stream(Collected& o, std::string_view name, std::string_view, Following&) {
    (name == "--no-video" ? o.video : o.tracking).off = true;
    return {};
}

std::expected<std::string, std::string> unix_path(std::string_view, std::string_view v) {
    if (v.empty()) return fail("--unix: empty path");
    return std::string(v);
}

std::expected<std::string, std::string> address(std::string_view name, std::string_view v) {
    if (!net::parse_socket_address(v))
        return fail(format("{}: \"{}\" is not a.b.c.d:port or [v6]:port", name, v));
    return std::string(v);
}

Result no_listener(Collected& o, std::string_view name, std::string_view, Following&) {
    (name == "--no-unix" ? o.unix_path : o.tcp_address).reset();
    return {};
}

Result device(Collected& o, std::string_view, std::string_view v, Following&) {
    if (v.empty() || split_words(v).size() != 1)
        return fail(format("--device: \"{}\" is not a serial number", v));
    o.serials.emplace_back(v);
    return {};
}

Result device_hex(Collected& o, std::string_view, std::string_view v, Following&) {
    auto serial = parse_serial_hex(v);
    if (!serial) return fail(format("--device-hex: {}", serial.error()));
    o.serials.push_back(std::move(*serial));
    return {};
}

std::expected<ConnectionType, std::string> connection_type(std::string_view name, std::string_view v) {
    auto type = parse_connection_type(v);
    if (!type) return fail(format("{}: \"{}\" is not usb, network or none", name, v));
    return *type;
}

std::expected<std::string, std::string> path(std::string_view, std::string_view v) {
    return std::string(v);
}

Result at(Collected& o, std::string_view name, std::string_view v, Following& following) {
    auto ms = seconds(name, v);
    if (!ms) return std::unexpected(ms.error());
    auto text = following.take();
    if (!text) return fail("--at needs SECONDS and a COMMAND");
    auto c = parse_command(*text);
    if (!c) return fail(format("--at {} \"{}\": {}", v, *text, c.error()));
    o.scheduled.emplace_back(*ms, std::move(*c));
    return {};
}

constexpr OptionEntry<Collected> SIM_OPTIONS[] = {
    {"Daemon", '\0', "--unix", "PATH",
     "serve usbmuxd's protocol on this Unix socket (default /var/run/usbmuxd);\n"
     "a stale socket file there is removed first",
     store<&SimConfig::unix_path, unix_path>},
    {"", '\0', "--tcp", "ADDR",
     "serve it on this TCP address as well (default 127.0.0.1:27015; IPv6 as [::1]:PORT)",
     store<&SimConfig::tcp_address, address>},
    {"", '\0', "--no-unix", "", "leave the Unix socket out", no_listener},
    {"", '\0', "--no-tcp", "", "leave the TCP address out", no_listener},
    {"", '\0', "--list-reply", "MODE",
     "answer ListDevices normal, binary, garbage, badlength[:LEN], silent, close,\n"
     "partial, nested-binary[:DEPTH], nested-xml[:DEPTH], nested-attributes[:DEPTH],\n"
     "shared-list[:REFS[:SIZE]], shared-side[:REFS[:SIZE]], no-serial-xml[:N],\n"
     "no-serial-binary[:N], empty-dict-xml[:N] or empty-dict-binary[:N]",
     reply_mode<&Collected::list_reply>},
    {"", '\0', "--connect-reply", "MODE",
     "answer Connect normal, silent, partial or shared-side[:REFS[:SIZE]]",
     reply_mode<&Collected::connect_reply>},
    {"Devices (plugged at the start, ids 1, 2, ... in order)", 'd', "--device", "SERIAL",
     "plug a device with this serial number (repeatable); without --script and\n"
     "--script-file one device VANTREL-SIM-0001 is plugged unless --no-device",
     device},
    {"", '\0', "--device-hex", "HEX",
     "the same with a serial number given as bytes in hex (control bytes, bytes\n"
     "that are not UTF-8; not 00)",
     device_hex},
    {"", '\0', "--no-device", "", "plug none", flag<&Collected::no_device>},
    {"", '\0', "--connection-type", "TYPE",
     "their entries' ConnectionType: usb (the default), network or none (no key)",
     store<&Collected::connection, connection_type>},
    {"", '\0', "--health", "MODE",
     "how both ports answer the health check: answer, ignore, late:MS,\n"
     "split:MS (half the payload at once, the rest MS later) or trickle:MS[:LENGTH]\n"
     "(a prefix of LENGTH, default 65536, then a payload byte every MS)",
     health},
    {"", '\0', "--refuse-until", "SECONDS", "refuse connections to both ports for this long after the start",
     store<&Collected::refuse_ms, seconds>},
    {"", '\0', "--stamp", "", "stamp generated packets (magic, stream id, sequence, send time)",
     flag<&Collected::stamp>},
    {"", '\0', "--seed", "N", "seed of the random packet sizes (default 1)", store<&Collected::seed, number>},
    {"Streams, started on every new tunnel once the health check is done (port 5000 video, 4242 tracking;\n"
     "on by default without --script and --script-file, otherwise when one of their options is given)",
     '\0', "--video-rate", "N", "packets per second, 0 = as fast as the bridge reads (default 30)",
     stream_option},
    {"", '\0', "--video-size", "N|MIN-MAX", "payload bytes, fixed or uniformly random (default 1000-8000)",
     stream_option},
    {"", '\0', "--video-file", "FILE|-",
     "cut the payloads from FILE or standard input instead of generating them", stream_file},
    {"", '\0', "--video-count", "N", "stop after N packets", stream_option},
    {"", '\0', "--video-then", "ACTION",
     "then: close, zero-length, over-length, half-prefix, half-frame, silent\n"
     "or unplug (default: stay connected and quiet)",
     stream_option},
    {"", '\0', "--no-video", "", "no video stream", no_stream},
    {"", '\0', "--tracking-rate", "N", "tracking packets per second (default 60)", stream_option},
    {"", '\0', "--tracking-size", "N|MIN-MAX", "tracking payload bytes (default 48)", stream_option},
    {"", '\0', "--tracking-file", "FILE|-", "as --video-file", stream_file},
    {"", '\0', "--tracking-count", "N", "as --video-count", stream_option},
    {"", '\0', "--tracking-then", "ACTION", "as --video-then", stream_option},
    {"", '\0', "--no-tracking", "", "no tracking stream", no_stream},
    {"", '\0', "--loop", "", "start a file over at its end (regular files)", flag<&Collected::loop>},
    {"Script and schedule", 's', "--script", "",
     "read commands from standard input, one reply line each; EOF ends", flag<&SimConfig::script_stdin>},
    {"", '\0', "--script-file", "FILE",
     "run the commands in FILE first (the simulator keeps running after them)",
     store<&Collected::script_file, path>},
    {"", '\0', "--at", "SECONDS COMMAND", "run COMMAND that many seconds after the start (repeatable)", at},
    {"", '\0', "--duration", "SECONDS", "end after this long", store<&SimConfig::duration_ms, seconds>},
    {"", '\0', "--feedback-events", "", "report every feedback frame also without a script",
     flag<&SimConfig::feedback_events>},
    {"", '\0', "--progress", "", "print a progress line per connected tunnel every second",
     flag<&SimConfig::progress>},
    {"", 'q', "--quiet", "", "print no event lines", flag<&SimConfig::quiet>},
};

// A number option of the receiver within [Min, Max].
template <auto Member, std::uint64_t Min, std::uint64_t Max>
Result receive_number(ReceiverConfig& r, std::string_view name, std::string_view v, Following&) {
    auto n = number(name, v);
    if (!n) return std::unexpected(n.error());
    if (*n < Min || *n > Max)
        return fail(Min == 0 ? format("{}: at most {}", name, Max)
                             : format("{}: between {} and {}", name, Min, Max));
    r.*Member = static_cast<std::remove_reference_t<decltype(r.*Member)>>(*n);
    return {};
}

constexpr OptionEntry<ReceiverConfig> RECEIVE_OPTIONS[] = {
    {"Receive options (vantrel-sim receive)", '\0', "--video", "ADDR",
     "bind the video consumer here (default 127.0.0.1:5000; IPv6 as [::1]:PORT)",
     store<&ReceiverConfig::video_address, address>},
    {"", '\0', "--tracking", "ADDR", "bind the tracking consumer here (default 127.0.0.1:4242; IPv6 as well)",
     store<&ReceiverConfig::tracking_address, address>},
    {"", '\0', "--duration", "SECONDS", "end after this long (default: at SIGINT or SIGTERM)",
     store<&ReceiverConfig::duration_ms, seconds>},
    {"", '\0', "--feedback-rate", "N",
     "send N feedback datagrams per second to the sender of the video datagrams",
     receive_number<&ReceiverConfig::feedback_rate, 0, MAX_STREAM_RATE>},
    {"", '\0', "--feedback-size", "N", "bytes per feedback datagram, stamped from 24 bytes on (default 64)",
     receive_number<&ReceiverConfig::feedback_size, 1, 65507>},
    {"", 'j', "--json", "", "JSON lines instead of key=value lines", flag<&ReceiverConfig::json>},
    {"", 'q', "--quiet", "", "only the final statistics", flag<&ReceiverConfig::quiet>},
    {"", '\0', "--rcvbuf", "BYTES", "receive buffer of both sockets (default 8388608)",
     receive_number<&ReceiverConfig::receive_buffer, 1, 1u << 30>},
};

enum class Outcome { Parsed, Help, Version };

// getopt_long's values for the options of a table, beyond every short option's character.
constexpr int ENTRY = 256;

// The error of an option that getopt_long turned away ('?' or ':').
template <typename Target, std::size_t N>
std::string option_error(const OptionEntry<Target> (&table)[N], int result, const char* arg,
                         std::string_view prefix) {
    auto name_of = [&](int value) {
        if (value >= ENTRY) return std::string(table[value - ENTRY].name);
        if (value == 'h' || value == 'V') return std::string(value == 'h' ? "--help" : "--version");
        auto entry = std::ranges::find(table, static_cast<char>(value), &OptionEntry<Target>::brief);
        return entry == std::end(table) ? format("-{}", static_cast<char>(value)) : std::string(entry->name);
    };
    if (result == ':') return format("{} needs a value", name_of(::optopt));
    if (::optopt >= ENTRY || ::optopt == 'h' || ::optopt == 'V')
        return format("{} takes no value", name_of(::optopt));
    if (::optopt != 0) return format("{}unknown option -{}", prefix, static_cast<char>(::optopt));
    // A long option that names none, or more than one by its prefix.
    std::string_view given(arg);
    std::string_view stem = given.substr(0, given.find('='));
    std::vector<std::string_view> matches;
    for (const auto& entry : table)
        if (entry.name.starts_with(stem)) matches.push_back(entry.name);
    for (std::string_view fixed : {"--help", "--version"})
        if (fixed.starts_with(stem)) matches.push_back(fixed);
    if (matches.size() < 2) return format("{}unknown option {}", prefix, given);
    return format("{}option {} is ambiguous ({})", prefix, stem, fmt::join(matches, ", "));
}

// GNU options through getopt_long: "--name=VALUE" and "--name VALUE", unique prefixes of names,
// bundled short options, "--" ending the options. They run in order through `table`; the first
// error, --help or --version ends the walk. args[first - 1] is the program (or the mode) name.
template <typename Target, std::size_t N>
std::expected<Outcome, std::string> parse_options(const OptionEntry<Target> (&table)[N], Target& target,
                                                  const std::vector<std::string>& args, std::size_t first,
                                                  std::string_view prefix) {
    // getopt_long reorders the pointers (it moves operands behind the options): its own copies.
    std::vector<std::string> own(args.begin() + static_cast<std::ptrdiff_t>(first - 1), args.end());
    std::vector<char*> argv;
    for (std::string& arg : own) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(own.size());
    std::vector<option> longs;
    std::string shorts = ":hV";  // ':' first: a missing value is told apart from an unknown option
    for (std::size_t i = 0; i < N; ++i) {
        const OptionEntry<Target>& entry = table[i];
        int has_arg = entry.value.empty() ? no_argument : required_argument;
        longs.push_back(option{entry.name.data() + 2, has_arg, nullptr, ENTRY + static_cast<int>(i)});
        if (entry.brief != '\0') shorts += std::string(1, entry.brief) + (entry.value.empty() ? "" : ":");
    }
    longs.push_back(option{"help", no_argument, nullptr, 'h'});
    longs.push_back(option{"version", no_argument, nullptr, 'V'});
    longs.push_back(option{});
    ::opterr = 0;
    ::optind = 0;  // glibc: a fresh scan, whatever an earlier one left behind
    Following following(argc, argv.data());
    for (int c; (c = ::getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr)) != -1;) {
        if (c == 'h') return Outcome::Help;
        if (c == 'V') return Outcome::Version;
        if (c == '?' || c == ':')
            return fail(option_error(table, c, argv[static_cast<std::size_t>(::optind - 1)], prefix));
        auto entry = c >= ENTRY ? std::begin(table) + (c - ENTRY)
                                : std::ranges::find(table, static_cast<char>(c), &OptionEntry<Target>::brief);
        std::string_view value = ::optarg && !entry->value.empty() ? ::optarg : "";
        if (auto r = entry->handle(target, entry->name, value, following); !r)
            return std::unexpected(r.error());
    }
    if (::optind < argc)
        return fail(format("{}unexpected argument {}", prefix, argv[static_cast<std::size_t>(::optind)]));
    return Outcome::Parsed;
}

// LINE, then `help` from `column` on (from the next line when LINE reaches it); a "\n" in `help` starts
// a continuation line at the same column.
std::string row(std::string line, std::string_view help, std::size_t column) {
    if (line.size() >= column && !help.empty()) line += "\n";
    for (; !help.empty();) {
        auto nl = help.find('\n');
        std::size_t pad = column - std::min(column, line.size() - (line.rfind('\n') + 1));
        line += std::string(pad, ' ') + std::string(help.substr(0, nl)) +
                (nl == std::string_view::npos ? "" : "\n");
        help = nl == std::string_view::npos ? std::string_view{} : help.substr(nl + 1);
    }
    return line + "\n";
}

template <typename Target, std::size_t N>
void describe(std::string& text, const OptionEntry<Target> (&table)[N]) {
    for (const auto& entry : table) {
        if (!entry.section.empty()) text += format("\n{}:\n", entry.section);
        std::string brief = entry.brief != '\0' ? format("-{}, ", entry.brief) : "    ";
        text += row(format("  {}{}{}{}", brief, entry.name, entry.value.empty() ? "" : " ", entry.value),
                    entry.help, 30);
    }
}

// The stream of the command line on one port, if it has one: its options on the defaults.
std::expected<std::optional<StreamSettings>, std::string> stream_settings(const Collected& o,
                                                                          const StreamOptions& stream,
                                                                          bool scripted) {
    if (stream.off || (!stream.given && scripted)) return std::nullopt;
    StreamSettings settings = stream.settings;
    settings.stamp = o.stamp && settings.file.empty();
    settings.seed = o.seed;
    settings.loop = o.loop && !settings.file.empty();
    if (auto ok = check_stream_settings(settings); !ok)
        return fail(format("{} stream: {}", stream.what, ok.error()));
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

// Plugs the devices of the command line and gives their ports the options' settings.
void device_commands(Collected& o, const std::optional<StreamSettings>& video,
                     const std::optional<StreamSettings>& tracking) {
    std::vector<Command>& out = o.startup;
    if (o.list_reply) out.push_back(*o.list_reply);
    if (o.connect_reply) out.push_back(*o.connect_reply);
    for (std::uint32_t id = 1; id <= o.serials.size(); ++id) {
        out.push_back(Command{.op = Op::Plug, .serial = o.serials[id - 1], .connection = o.connection});
        for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) {
            if (o.health) {
                out.push_back(*o.health);
                out.back().device = id;
                out.back().port = port;
            }
            if (o.refuse_ms)
                out.push_back(Command{.op = Op::Refuse, .device = id, .port = port, .ms = *o.refuse_ms});
            if (const auto& settings = port == 5000 ? video : tracking)
                out.push_back(Command{
                    .op = Op::AutoStream, .device = id, .port = port, .on = true, .stream = *settings});
        }
    }
}

std::expected<Invocation, std::string> finish(Collected& o) {
    if (!o.unix_path && !o.tcp_address) return fail("--no-unix and --no-tcp leave nothing to serve");
    bool scripted = o.script_stdin || o.script_file.has_value();
    bool video_stdin = o.video.settings.file == "-", tracking_stdin = o.tracking.settings.file == "-";
    if (o.script_stdin && (video_stdin || tracking_stdin))
        return fail("standard input carries the script: it cannot also be a stream's file");
    if (video_stdin && tracking_stdin) return fail("only one stream can read standard input");
    if (o.script_file) {
        auto commands = read_script(*o.script_file);
        if (!commands) return std::unexpected(commands.error());
        o.script = std::move(*commands);
    }
    if (o.serials.empty() && !scripted && !o.no_device) o.serials.emplace_back(DEFAULT_SERIAL);
    if (o.no_device) o.serials.clear();
    auto video = stream_settings(o, o.video, scripted);
    if (!video) return std::unexpected(video.error());
    auto tracking = stream_settings(o, o.tracking, scripted);
    if (!tracking) return std::unexpected(tracking.error());
    if (o.serials.empty() && (o.video.given || o.tracking.given || o.health || o.refuse_ms))
        return fail("device options need a device: add --device SERIAL");
    device_commands(o, *video, *tracking);
    return SimConfig(std::move(o));
}

}  // namespace

std::string help_text() {
    std::string text =
        "Usage: vantrel-sim [OPTION...]\n"
        "       vantrel-sim receive [RECEIVE-OPTION...]\n\n"
        "Plays usbmuxd and iPhones running the Vantrel app, so that vantrel-usb can be run, tested,\n"
        "demonstrated and measured without a device. 'receive' plays the local UDP consumers.\n";
    describe(text, SIM_OPTIONS);
    text += row("  -h, --help", "show this help", 30) + row("  -V, --version", "show the version", 30);
    text += "\nCommands (N: device id, PORT: device port, MS: milliseconds):\n";
    for (const CommandEntry& entry : command_table())
        text += row("  " + std::string(entry.usage), entry.help, 37);
    text +=
        "Events: connect, disconnect, refused, unknown-device, health, feedback, data, bad-frame,\n"
        "  stream-done, stream-error, list-devices, client-error (each line starts with \"event \").\n";
    describe(text, RECEIVE_OPTIONS);
    return text +
           "\nExit status: 0 after quit, the end of the script input, --duration, SIGINT or SIGTERM;\n"
           "1 when a listener or socket cannot be set up; 2 for bad arguments.\n";
}

std::vector<std::string_view> option_names(bool receive) {
    std::vector<std::string_view> names;
    if (receive)
        for (const auto& entry : RECEIVE_OPTIONS) names.push_back(entry.name);
    else
        for (const auto& entry : SIM_OPTIONS) names.push_back(entry.name);
    return names;
}

std::expected<Invocation, std::string> parse_command_line(const std::vector<std::string>& args) {
    if (args.size() > 1 && args[1] == "receive") {
        ReceiverConfig config;
        auto parsed = parse_options(RECEIVE_OPTIONS, config, args, 2, "receive: ");
        if (!parsed) return std::unexpected(parsed.error());
        if (*parsed == Outcome::Help) return ShowHelp{};
        if (*parsed == Outcome::Version) return ShowVersion{};
        return config;
    }
    Collected o;
    auto parsed = parse_options(SIM_OPTIONS, o, args, 1, "");
    if (!parsed) return std::unexpected(parsed.error());
    if (*parsed == Outcome::Help) return ShowHelp{};
    if (*parsed == Outcome::Version) return ShowVersion{};
    return finish(o);
}

}  // namespace vantrel::sim
