#include "sim/command.h"

#include <algorithm>
#include <array>

#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {
namespace {

using Words = std::vector<std::string_view>;
using Op = Command::Op;

constexpr std::array<std::pair<FaultKind, std::string_view>, 7> FAULT_NAMES{{
    {FaultKind::Close, "close"},
    {FaultKind::ZeroLength, "zero-length"},
    {FaultKind::OverLength, "over-length"},
    {FaultKind::HalfPrefix, "half-prefix"},
    {FaultKind::HalfFrame, "half-frame"},
    {FaultKind::Silent, "silent"},
    {FaultKind::Unplug, "unplug"},
}};

std::optional<std::uint32_t> parse_device(std::string_view word) {
    auto n = parse_u64(word);
    if (!n || *n == 0 || *n > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

std::optional<std::uint16_t> parse_port(std::string_view word) {
    auto n = parse_u64(word);
    if (!n || *n == 0 || *n > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*n);
}

std::optional<bool> parse_on_off(std::string_view word) {
    if (word == "on") return true;
    if (word == "off") return false;
    return std::nullopt;
}

// Fills device and port from words[1] and words[2].
std::expected<void, std::string> device_and_port(const Words& w, Command& c, std::string_view usage) {
    if (w.size() < 3) return fail(format("usage: {}", usage));
    auto device = parse_device(w[1]);
    if (!device) return fail(format("bad device id \"{}\"", w[1]));
    auto port = parse_port(w[2]);
    if (!port) return fail(format("bad port \"{}\"", w[2]));
    c.device = *device;
    c.port = *port;
    return {};
}

}  // namespace

std::optional<ConnectionType> parse_connection_type(std::string_view word) {
    constexpr std::pair<std::string_view, ConnectionType> TYPES[] = {
        {"usb", ConnectionType::Usb}, {"network", ConnectionType::Network}, {"none", ConnectionType::None}};
    for (const auto& [name, type] : TYPES)
        if (word == name) return type;
    return std::nullopt;
}

std::optional<FaultKind> parse_fault(std::string_view name) {
    for (const auto& [kind, text] : FAULT_NAMES)
        if (text == name) return kind;
    return std::nullopt;
}

std::expected<void, std::string> set_stream_option(StreamSettings& s, std::string_view word) {
    auto eq = word.find('=');
    bool valued = eq != std::string_view::npos;
    std::string_view key = word.substr(0, eq), value = valued ? word.substr(eq + 1) : std::string_view{};
    auto n = parse_u64(value);
    auto range = parse_range(value);
    auto bad = [&](std::string_view what) { return fail(format("bad {} \"{}\"", what, value)); };
    if (!valued && (key == "stamp" || key == "loop")) {
        (key == "stamp" ? s.stamp : s.loop) = true;
    } else if (key == "rate" && valued) {
        if (!n || *n > MAX_STREAM_RATE) return bad("rate");
        s.rate = *n;
    } else if (key == "size" && valued) {
        if (!range || range->first == 0 || range->second > MAX_STREAM_PACKET)
            return fail(format("bad size \"{}\" (1 to {} bytes)", value, MAX_STREAM_PACKET));
        s.size_min = static_cast<std::uint32_t>(range->first);
        s.size_max = static_cast<std::uint32_t>(range->second);
    } else if (key == "count" && valued) {
        if (!n || *n == 0) return bad("count");
        s.count = *n;
    } else if (key == "id" && valued) {
        if (!n || *n > UINT32_MAX) return bad("stream id");
        s.stream_id = static_cast<std::uint32_t>(*n);
    } else if (key == "skip" && valued) {
        if (!range) return bad("skip range");
        s.skip = *range;
    } else if (key == "seed" && valued) {
        if (!n) return bad("seed");
        s.seed = *n;
    } else if (key == "then" && valued) {
        s.then = parse_fault(value);
        if (!s.then) return bad("action");
    } else if (key == "file" && valued && !value.empty()) {
        s.file = std::string(value);
    } else {
        return fail(format("unknown stream option \"{}\"", word));
    }
    return {};
}

std::expected<StreamSettings, std::string> parse_stream_settings(const Words& words) {
    StreamSettings settings;
    for (std::string_view word : words)
        if (auto r = set_stream_option(settings, word); !r) return std::unexpected(r.error());
    if (auto ok = check_stream_settings(settings); !ok) return std::unexpected(ok.error());
    return settings;
}

std::expected<void, std::string> check_stream_settings(const StreamSettings& settings) {
    if (settings.stamp && !settings.file.empty()) return fail("stamp cannot be combined with file");
    if (settings.stamp && settings.size_min < STAMP_SIZE)
        return fail(format("stamped packets need a size of at least {} bytes", STAMP_SIZE));
    if (settings.loop && settings.file.empty()) return fail("loop needs file");
    return {};
}

std::expected<std::string, std::string> parse_serial_hex(std::string_view hex) {
    auto bytes = parse_hex(hex);
    if (!bytes) return fail(format("bad hex \"{}\"", hex));
    // The daemon's property lists carry C strings: a 00 byte would end the serial early.
    if (std::ranges::find(*bytes, 0) != bytes->end())
        return fail(format("bad serial \"{}\": it holds a 00 byte", hex));
    return std::string(bytes->begin(), bytes->end());
}

bool is_command_line(std::string_view line) {
    auto words = split_words(line);
    return !words.empty() && words[0][0] != '#';
}

namespace {

// The parsers of the table: `c.op` is set; words[0] is the command's name.
using Result = std::expected<void, std::string>;

std::unexpected<std::string> usage_error(std::string_view usage) {
    return fail(format("usage: {}", usage));
}

Result no_arguments(const Words& w, Command&, std::string_view usage) {
    if (w.size() != 1) return usage_error(usage);
    return {};
}

// A number a reply mode takes, with its default and its range.
struct NumberSlot {
    std::string_view what;
    std::uint32_t fallback;
    std::uint64_t min, max;
};
constexpr std::uint64_t MAX_HOSTILE = 10'000'000;
constexpr NumberSlot LENGTH{"length", 16, 0, UINT32_MAX};
constexpr NumberSlot BINARY_DEPTH{"depth", 100'000, 1, MAX_HOSTILE};  // about 900 KB
// About 900 KB like the binary default: deeper would pass the program's 1,000,000-byte reply limit.
constexpr NumberSlot XML_DEPTH{"depth", 60'000, 1, MAX_HOSTILE};
constexpr NumberSlot ATTRIBUTE_DEPTH{"depth", 40'000, 4, MAX_HOSTILE};  // about 900 KB
constexpr NumberSlot LIST_REFS{"refs", 500'000, 1, MAX_HOSTILE};        // with SIZE: about 900 KB
constexpr NumberSlot SIDE_REFS{"refs", 2'000, 1, MAX_HOSTILE};          // with SIZE: about 402 KB
constexpr NumberSlot SHARED_SIZE{"size", 400'000, 0, MAX_HOSTILE};
constexpr NumberSlot ENTRIES{"count", 10'000, 0, MAX_HOSTILE};

std::expected<std::uint32_t, std::string> slot_number(const NumberSlot& slot,
                                                      std::optional<std::string_view> word) {
    if (!word) return slot.fallback;
    auto n = parse_u64(*word);
    if (n && *n >= slot.min && *n <= slot.max) return static_cast<std::uint32_t>(*n);
    if (slot.min == 0 && slot.max == UINT32_MAX) return fail(format("bad {} \"{}\"", slot.what, *word));
    return fail(format("bad {} \"{}\" ({} to {})", slot.what, *word, slot.min, slot.max));
}

// SERIAL (or HEX) [usb|network|none].
Result plug(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 2 && w.size() != 3) return usage_error(usage);
    if (w.size() == 3) {
        auto type = parse_connection_type(w[2]);
        if (!type) return usage_error(usage);
        c.connection = *type;
    }
    if (w[0] == "plug") {
        c.serial = std::string(w[1]);
        return {};
    }
    auto serial = parse_serial_hex(w[1]);
    if (!serial) return std::unexpected(serial.error());
    c.serial = std::move(*serial);
    return {};
}

Result unplug(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 2) return usage_error(usage);
    auto device = parse_device(w[1]);
    if (!device) return fail(format("bad device id \"{}\"", w[1]));
    c.device = *device;
    return {};
}

// N PORT and nothing else.
Result tunnel(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 3) return usage_error(usage);
    return device_and_port(w, c, usage);
}

// N PORT WORD, the word read as the command says: on|off, seconds, frames|raw, hex or a fault.
Result port_word(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 4) return usage_error(usage);
    if (auto r = device_and_port(w, c, usage); !r) return r;
    std::string_view word = w[3];
    if (c.op == Op::Refuse) {
        auto ms = parse_seconds_ms(word);
        if (!ms) return fail(format("bad seconds \"{}\"", word));
        c.ms = *ms;
    } else if (c.op == Op::Send || c.op == Op::Raw) {
        auto hex = parse_hex(word);
        if (!hex) return fail(format("bad hex \"{}\"", word));
        c.bytes = std::move(*hex);
    } else if (c.op == Op::Fault) {
        auto kind = parse_fault(word);
        if (!kind) return usage_error(usage);
        c.fault = *kind;
    } else if (c.op == Op::Mode) {
        if (word != "frames" && word != "raw") return usage_error(usage);
        c.on = word == "raw";
    } else {
        auto on = parse_on_off(word);
        if (!on) return usage_error(usage);
        c.on = *on;
    }
    return {};
}

// An optional HEX at w[i] replaces the health answer's default payload.
Result health_payload(const Words& w, std::size_t i, Command& c) {
    c.bytes = {0xFE, 0x00, 0x01};
    if (w.size() <= i) return {};
    auto bytes = parse_hex(w[i]);
    if (!bytes) return fail(format("bad hex \"{}\"", w[i]));
    c.bytes = std::move(*bytes);
    return {};
}

Result health(const Words& w, Command& c, std::string_view usage) {
    if (w.size() < 4) return usage_error(usage);
    if (auto r = device_and_port(w, c, usage); !r) return r;
    std::string_view mode = w[3];
    if (mode == "answer" && w.size() <= 5) return health_payload(w, 4, c);
    if (mode == "ignore" && w.size() == 4) {
        c.health = HealthMode::Ignore;
        return {};
    }
    bool optional_word = mode == "split" || mode == "trickle";
    bool timed = (mode == "late" || optional_word) && (w.size() == 5 || (optional_word && w.size() == 6));
    if (!timed) return usage_error(usage);
    auto ms = parse_u64(w[4]);
    if (!ms) return fail(format("bad milliseconds \"{}\"", w[4]));
    c.ms = *ms;
    if (mode == "trickle") {
        c.health = HealthMode::Trickle;
        auto length = slot_number(NumberSlot{"length", DEFAULT_TRICKLE_LENGTH, 0, UINT32_MAX},
                                  w.size() == 6 ? std::optional(w[5]) : std::nullopt);
        if (!length) return std::unexpected(length.error());
        c.trickle_length = *length;
        return {};
    }
    c.health = mode == "late" ? HealthMode::Late : HealthMode::Split;
    return health_payload(w, mode == "late" ? 6 : 5, c);
}

// N PORT on|off|rate BPS
Result read(const Words& w, Command& c, std::string_view usage) {
    if (auto r = device_and_port(w, c, usage); !r) return r;
    if (w.size() == 5 && w[3] == "rate") {
        auto bps = parse_u64(w[4]);
        if (!bps || *bps == 0 || *bps > MAX_READ_RATE)
            return fail(format("bad rate \"{}\" (1 to {} bytes per second)", w[4], MAX_READ_RATE));
        c.on = true;
        c.bytes_per_second = *bps;
        return {};
    }
    auto on = w.size() == 4 ? parse_on_off(w[3]) : std::nullopt;
    if (!on) return usage_error(usage);
    c.on = *on;
    return {};
}

// N PORT [COUNT] [TIMEOUT_MS]: COUNT for wait-feedback only.
Result wait(const Words& w, Command& c, std::string_view usage) {
    if (auto r = device_and_port(w, c, usage); !r) return r;
    std::size_t next = 3;
    if (c.op == Op::WaitFeedback) {
        if (w.size() < 4 || !parse_u64(w[3])) return usage_error(usage);
        c.count = *parse_u64(w[3]);
        next = 4;
    }
    c.ms = DEFAULT_WAIT_MS;
    if (w.size() > next + 1) return usage_error(usage);
    if (w.size() == next + 1) {
        auto ms = parse_u64(w[next]);
        if (!ms) return fail(format("bad timeout \"{}\"", w[next]));
        c.ms = *ms;
    }
    return {};
}

Result stream(const Words& w, Command& c, std::string_view usage) {
    if (auto r = device_and_port(w, c, usage); !r) return r;
    c.on = true;
    if (c.op == Op::AutoStream && w.size() == 4 && w[3] == "off") {
        c.on = false;
        return {};
    }
    auto settings = parse_stream_settings(Words(w.begin() + 3, w.end()));
    if (!settings) return std::unexpected(settings.error());
    c.stream = std::move(*settings);
    return {};
}

// A mode word of list-reply or connect-reply and the numbers that may follow it.
template <typename Mode>
struct ModeWord {
    std::string_view name;
    Mode mode;
    const NumberSlot* first = nullptr;
    const NumberSlot* second = nullptr;
};
constexpr ModeWord<ListReply> LIST_MODES[] = {
    {"normal", ListReply::Normal},
    {"binary", ListReply::Binary},
    {"garbage", ListReply::Garbage},
    {"badlength", ListReply::BadLength, &LENGTH},
    {"silent", ListReply::Silent},
    {"close", ListReply::Close},
    {"partial", ListReply::Partial},
    {"nested-binary", ListReply::NestedBinary, &BINARY_DEPTH},
    {"nested-xml", ListReply::NestedXml, &XML_DEPTH},
    {"nested-attributes", ListReply::NestedAttributes, &ATTRIBUTE_DEPTH},
    {"shared-list", ListReply::SharedList, &LIST_REFS, &SHARED_SIZE},
    {"shared-side", ListReply::SharedSide, &SIDE_REFS, &SHARED_SIZE},
    {"no-serial-xml", ListReply::NoSerialXml, &ENTRIES},
    {"no-serial-binary", ListReply::NoSerialBinary, &ENTRIES},
    {"empty-dict-xml", ListReply::EmptyDictXml, &ENTRIES},
    {"empty-dict-binary", ListReply::EmptyDictBinary, &ENTRIES},
};
constexpr ModeWord<ConnectReply> CONNECT_MODES[] = {
    {"normal", ConnectReply::Normal},
    {"silent", ConnectReply::Silent},
    {"partial", ConnectReply::Partial},
    {"shared-side", ConnectReply::SharedSide, &SIDE_REFS, &SHARED_SIZE},
};

// MODE [NUMBER [NUMBER]] from words[1] on.
template <typename Mode, std::size_t N>
Result reply_mode(const Words& w, ReplyShape<Mode>& shape, const ModeWord<Mode> (&modes)[N],
                  std::string_view usage) {
    auto mode = std::ranges::find_if(modes, [&](const auto& m) { return w.size() >= 2 && w[1] == m.name; });
    if (mode == std::end(modes)) return usage_error(usage);
    std::size_t numbers = (mode->first ? 1u : 0u) + (mode->second ? 1u : 0u);
    if (w.size() > 2 + numbers) return usage_error(usage);
    shape = ReplyShape<Mode>{mode->mode};
    for (std::size_t i = 0; i < numbers; ++i) {
        auto n = slot_number(i == 0 ? *mode->first : *mode->second,
                             w.size() > 2 + i ? std::optional(w[2 + i]) : std::nullopt);
        if (!n) return std::unexpected(n.error());
        (i == 0 ? shape.number : shape.size) = *n;
    }
    return {};
}

Result list_reply(const Words& w, Command& c, std::string_view usage) {
    return reply_mode(w, c.list_reply, LIST_MODES, usage);
}

Result connect_reply(const Words& w, Command& c, std::string_view usage) {
    return reply_mode(w, c.connect_reply, CONNECT_MODES, usage);
}

Result events(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 3 || w[1] != "feedback" || !parse_on_off(w[2])) return usage_error(usage);
    c.on = *parse_on_off(w[2]);
    return {};
}

Result sleep(const Words& w, Command& c, std::string_view usage) {
    if (w.size() != 2 || !parse_u64(w[1])) return usage_error(usage);
    c.ms = *parse_u64(w[1]);
    return {};
}

// The script language, one row per command: --help, tools/sim/README.md and vantrel-sim(1) list
// the same commands with the same usage (a test compares them).
constexpr CommandEntry COMMANDS[] = {
    {"plug", Op::Plug, "plug SERIAL [usb|network|none]", "-> ok id=N; its ConnectionType (default usb)",
     plug},
    {"plug-hex", Op::Plug, "plug-hex HEX [usb|network|none]",
     "-> ok id=N; the serial is these bytes (not 00)", plug},
    {"unplug", Op::Unplug, "unplug N", "device leaves the list, its tunnels close", unplug},
    {"listen", Op::Listen, "listen N PORT on|off", "off: Connect answered with result 3", port_word},
    {"refuse", Op::Refuse, "refuse N PORT SECONDS", "refuse that long, then listen", port_word},
    {"health", Op::Health, "health N PORT answer [HEX]|ignore|late MS|split MS [HEX]|trickle MS [LENGTH]",
     "how the health check is answered", health},
    {"mode", Op::Mode, "mode N PORT frames|raw", "raw: report and echo bytes, not frames", port_word},
    {"echo", Op::Echo, "echo N PORT on|off", "write back what the bridge writes", port_word},
    {"read", Op::Read, "read N PORT on|off|rate BPS", "off: leave what the bridge writes unread", read},
    {"wait-connect", Op::WaitConnect, "wait-connect N PORT [TIMEOUT_MS]",
     "(default 10000 ms; error: timeout)", wait},
    {"wait-disconnect", Op::WaitDisconnect, "wait-disconnect N PORT [TIMEOUT_MS]", "until the tunnel is gone",
     wait},
    {"wait-health", Op::WaitHealth, "wait-health N PORT [TIMEOUT_MS]", "until the health-check request came",
     wait},
    {"wait-stream", Op::WaitStream, "wait-stream N PORT [TIMEOUT_MS]",
     "until the stream handed over its last", wait},
    {"wait-feedback", Op::WaitFeedback, "wait-feedback N PORT COUNT [TIMEOUT_MS]",
     "until COUNT feedback frames came", wait},
    {"send", Op::Send, "send N PORT HEX", "one frame with this payload", port_word},
    {"raw", Op::Raw, "raw N PORT HEX", "exactly these bytes", port_word},
    {"close", Op::Close, "close N PORT", "close the tunnel once queued bytes are out", tunnel},
    {"stream", Op::Stream, "stream N PORT [rate=R] [size=S|MIN-MAX] [OPTION...]",
     "count=C stamp id=I skip=A-B seed=X then=ACTION file=PATH loop", stream},
    {"autostream", Op::AutoStream, "autostream N PORT off|[rate=R] [size=S|MIN-MAX] [OPTION...]",
     "that stream on every new tunnel", stream},
    {"stop", Op::Stop, "stop N PORT", "stop the stream", tunnel},
    {"silent", Op::Silent, "silent N PORT", "stop writing anything, keep the connection", tunnel},
    {"fault", Op::Fault, "fault N PORT close|zero-length|over-length|half-prefix|half-frame|silent|unplug",
     "", port_word},
    {"list-reply", Op::ListReplyMode,
     "list-reply normal|binary|garbage|badlength [LENGTH]|silent|close|partial|nested-binary [DEPTH]|"
     "nested-xml [DEPTH]|nested-attributes [DEPTH]|shared-list [REFS [SIZE]]|shared-side [REFS [SIZE]]|"
     "no-serial-xml [N]|no-serial-binary [N]|empty-dict-xml [N]|empty-dict-binary [N]",
     "", list_reply},
    {"connect-reply", Op::ConnectReplyMode, "connect-reply normal|silent|partial|shared-side [REFS [SIZE]]",
     "silent: no reply; partial: half the payload", connect_reply},
    {"stats", Op::Stats, "stats N PORT",
     "-> ok connected= sent= bytes= feedback= feedback_bytes= health=", tunnel},
    {"events", Op::Events, "events feedback on|off", "an event line per feedback frame, or not", events},
    {"devices", Op::Devices, "devices", "-> ok count=K ids=...", no_arguments},
    {"sleep", Op::Sleep, "sleep MS", "", sleep},
    {"quit", Op::Quit, "quit", "", no_arguments},
};

}  // namespace

std::span<const CommandEntry> command_table() {
    return COMMANDS;
}

std::expected<Command, std::string> parse_command(std::string_view line) {
    Words w = split_words(line);
    if (w.empty()) return fail("empty command");
    for (const CommandEntry& entry : COMMANDS) {
        if (w[0] != entry.name) continue;
        Command c;
        c.op = entry.op;
        if (auto r = entry.parse(w, c, entry.usage); !r) return std::unexpected(r.error());
        return c;
    }
    return fail(format("unknown command \"{}\"", w[0]));
}

}  // namespace vantrel::sim
