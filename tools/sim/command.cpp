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

std::unexpected<std::string> fail(std::string text) {
    return std::unexpected(std::move(text));
}

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

std::expected<Command, std::string> parse_wait(const Words& w, Command c, std::string_view usage,
                                               bool with_count) {
    if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
    std::size_t next = 3;
    if (with_count) {
        if (w.size() < 4 || !parse_u64(w[3])) return fail(format("usage: {}", usage));
        c.count = *parse_u64(w[3]);
        next = 4;
    }
    c.ms = DEFAULT_WAIT_MS;
    if (w.size() > next + 1) return fail(format("usage: {}", usage));
    if (w.size() == next + 1) {
        auto ms = parse_u64(w[next]);
        if (!ms) return fail(format("bad timeout \"{}\"", w[next]));
        c.ms = *ms;
    }
    return c;
}

struct WaitForm {
    std::string_view name;
    Op op;
    std::string_view usage;
    bool with_count;
};
constexpr WaitForm WAIT_FORMS[] = {
    {"wait-connect", Op::WaitConnect, "wait-connect N PORT [TIMEOUT_MS]", false},
    {"wait-disconnect", Op::WaitDisconnect, "wait-disconnect N PORT [TIMEOUT_MS]", false},
    {"wait-health", Op::WaitHealth, "wait-health N PORT [TIMEOUT_MS]", false},
    {"wait-stream", Op::WaitStream, "wait-stream N PORT [TIMEOUT_MS]", false},
    {"wait-feedback", Op::WaitFeedback, "wait-feedback N PORT COUNT [TIMEOUT_MS]", true},
};

// Commands that take only a device and a port.
struct TunnelForm {
    std::string_view name;
    Op op;
    std::string_view usage;
};
constexpr TunnelForm TUNNEL_FORMS[] = {
    {"close", Op::Close, "close N PORT"},
    {"stop", Op::Stop, "stop N PORT"},
    {"silent", Op::Silent, "silent N PORT"},
    {"stats", Op::Stats, "stats N PORT"},
};

}  // namespace

std::optional<FaultKind> parse_fault(std::string_view name) {
    for (const auto& [kind, text] : FAULT_NAMES)
        if (text == name) return kind;
    return std::nullopt;
}

std::string_view fault_name(FaultKind kind) {
    for (const auto& [k, text] : FAULT_NAMES)
        if (k == kind) return text;
    return "?";
}

std::expected<StreamSettings, std::string> parse_stream_settings(const Words& words) {
    StreamSettings settings;
    for (std::string_view word : words) {
        auto eq = word.find('=');
        std::string_view key = word.substr(0, eq);
        std::string_view value = eq == std::string_view::npos ? std::string_view{} : word.substr(eq + 1);
        bool has_value = eq != std::string_view::npos;
        if (key == "stamp" && !has_value) {
            settings.stamp = true;
        } else if (key == "loop" && !has_value) {
            settings.loop = true;
        } else if (key == "rate" && has_value) {
            auto n = parse_u64(value);
            if (!n || *n > MAX_STREAM_RATE) return fail(format("bad rate \"{}\"", value));
            settings.rate = *n;
        } else if (key == "size" && has_value) {
            auto r = parse_range(value);
            if (!r || r->first == 0 || r->second > MAX_STREAM_PACKET)
                return fail(format("bad size \"{}\" (1 to {} bytes)", value, MAX_STREAM_PACKET));
            settings.size_min = static_cast<std::uint32_t>(r->first);
            settings.size_max = static_cast<std::uint32_t>(r->second);
        } else if (key == "count" && has_value) {
            auto n = parse_u64(value);
            if (!n || *n == 0) return fail(format("bad count \"{}\"", value));
            settings.count = *n;
        } else if (key == "id" && has_value) {
            auto n = parse_u64(value);
            if (!n || *n > UINT32_MAX) return fail(format("bad stream id \"{}\"", value));
            settings.stream_id = static_cast<std::uint32_t>(*n);
        } else if (key == "skip" && has_value) {
            auto r = parse_range(value);
            if (!r) return fail(format("bad skip range \"{}\"", value));
            settings.skip = *r;
        } else if (key == "seed" && has_value) {
            auto n = parse_u64(value);
            if (!n) return fail(format("bad seed \"{}\"", value));
            settings.seed = *n;
        } else if (key == "then" && has_value) {
            auto f = parse_fault(value);
            if (!f) return fail(format("bad action \"{}\"", value));
            settings.then = *f;
        } else if (key == "file" && has_value && !value.empty()) {
            settings.file = std::string(value);
        } else {
            return fail(format("unknown stream option \"{}\"", word));
        }
    }
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

std::expected<Command, std::string> parse_command(std::string_view line) {
    Words w = split_words(line);
    if (w.empty()) return fail("empty command");
    std::string_view name = w[0];
    Command c;

    if (name == "plug") {
        if (w.size() != 2) return fail("usage: plug SERIAL");
        c.op = Op::Plug;
        c.serial = std::string(w[1]);
        return c;
    }
    if (name == "plug-hex") {
        if (w.size() != 2) return fail("usage: plug-hex HEX");
        auto serial = parse_serial_hex(w[1]);
        if (!serial) return std::unexpected(serial.error());
        c.op = Op::Plug;
        c.serial = std::move(*serial);
        return c;
    }
    if (name == "unplug") {
        if (w.size() != 2) return fail("usage: unplug N");
        auto device = parse_device(w[1]);
        if (!device) return fail(format("bad device id \"{}\"", w[1]));
        c.op = Op::Unplug;
        c.device = *device;
        return c;
    }
    if (name == "listen" || name == "echo" || name == "read") {
        std::string usage = format("{} N PORT on|off", name);
        if (w.size() != 4) return fail(format("usage: {}", usage));
        if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
        auto on = parse_on_off(w[3]);
        if (!on) return fail(format("usage: {}", usage));
        c.op = name == "listen" ? Op::Listen : name == "echo" ? Op::Echo : Op::Read;
        c.on = *on;
        return c;
    }
    if (name == "refuse") {
        if (w.size() != 4) return fail("usage: refuse N PORT SECONDS");
        if (auto r = device_and_port(w, c, "refuse N PORT SECONDS"); !r) return std::unexpected(r.error());
        auto ms = parse_seconds_ms(w[3]);
        if (!ms) return fail(format("bad seconds \"{}\"", w[3]));
        c.op = Op::Refuse;
        c.ms = *ms;
        return c;
    }
    if (name == "health") {
        constexpr std::string_view usage = "health N PORT answer [HEX]|ignore|late MS|split MS [HEX]";
        if (w.size() < 4) return fail(format("usage: {}", usage));
        if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
        c.op = Op::Health;
        if (w[3] == "answer" && w.size() <= 5) {
            c.health = HealthMode::Answer;
            c.bytes = {0xFE, 0x00, 0x01};
            if (w.size() == 5) {
                auto bytes = parse_hex(w[4]);
                if (!bytes) return fail(format("bad hex \"{}\"", w[4]));
                c.bytes = std::move(*bytes);
            }
        } else if (w[3] == "ignore" && w.size() == 4) {
            c.health = HealthMode::Ignore;
        } else if (w[3] == "late" && w.size() == 5) {
            auto ms = parse_u64(w[4]);
            if (!ms) return fail(format("bad milliseconds \"{}\"", w[4]));
            c.health = HealthMode::Late;
            c.ms = *ms;
            c.bytes = {0xFE, 0x00, 0x01};
        } else if (w[3] == "split" && (w.size() == 5 || w.size() == 6)) {
            auto ms = parse_u64(w[4]);
            if (!ms) return fail(format("bad milliseconds \"{}\"", w[4]));
            c.health = HealthMode::Split;
            c.ms = *ms;
            c.bytes = {0xFE, 0x00, 0x01};
            if (w.size() == 6) {
                auto bytes = parse_hex(w[5]);
                if (!bytes) return fail(format("bad hex \"{}\"", w[5]));
                c.bytes = std::move(*bytes);
            }
        } else {
            return fail(format("usage: {}", usage));
        }
        return c;
    }
    if (name == "mode") {
        if (w.size() != 4 || (w[3] != "frames" && w[3] != "raw"))
            return fail("usage: mode N PORT frames|raw");
        if (auto r = device_and_port(w, c, "mode N PORT frames|raw"); !r) return std::unexpected(r.error());
        c.op = Op::Mode;
        c.on = w[3] == "raw";
        return c;
    }
    for (const auto& form : WAIT_FORMS) {
        if (name != form.name) continue;
        c.op = form.op;
        return parse_wait(w, c, form.usage, form.with_count);
    }
    if (name == "send" || name == "raw") {
        std::string_view usage = name == "send" ? "send N PORT HEX" : "raw N PORT HEX";
        if (w.size() != 4) return fail(format("usage: {}", usage));
        if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
        auto bytes = parse_hex(w[3]);
        if (!bytes) return fail(format("bad hex \"{}\"", w[3]));
        c.op = name == "send" ? Op::Send : Op::Raw;
        c.bytes = std::move(*bytes);
        return c;
    }
    for (const auto& form : TUNNEL_FORMS) {
        if (name != form.name) continue;
        c.op = form.op;
        if (w.size() != 3) return fail(format("usage: {}", form.usage));
        if (auto r = device_and_port(w, c, form.usage); !r) return std::unexpected(r.error());
        return c;
    }
    if (name == "stream" || name == "autostream") {
        bool autostream = name == "autostream";
        std::string_view usage = autostream ? "autostream N PORT off|[rate=R] [size=S|MIN-MAX] [OPTION...]"
                                            : "stream N PORT [rate=R] [size=S|MIN-MAX] [OPTION...]";
        if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
        c.op = autostream ? Op::AutoStream : Op::Stream;
        c.on = true;
        if (autostream && w.size() == 4 && w[3] == "off") {
            c.on = false;
            return c;
        }
        auto settings = parse_stream_settings(Words(w.begin() + 3, w.end()));
        if (!settings) return std::unexpected(settings.error());
        c.stream = std::move(*settings);
        return c;
    }
    if (name == "fault") {
        constexpr std::string_view usage =
            "fault N PORT close|zero-length|over-length|half-prefix|half-frame|silent|unplug";
        if (w.size() != 4) return fail(format("usage: {}", usage));
        if (auto r = device_and_port(w, c, usage); !r) return std::unexpected(r.error());
        auto kind = parse_fault(w[3]);
        if (!kind) return fail(format("usage: {}", usage));
        c.op = Op::Fault;
        c.fault = *kind;
        return c;
    }
    if (name == "list-reply") {
        constexpr std::string_view usage =

            "list-reply normal|binary|garbage|badlength [LENGTH]|silent|close|partial|nested-binary [DEPTH]|"
            "nested-xml [DEPTH]";
        c.op = Op::ListReplyMode;
        if (w.size() == 2 && w[1] == "normal") {
            c.list_reply = ListReply::Normal;
        } else if (w.size() == 2 && w[1] == "binary") {
            c.list_reply = ListReply::Binary;
        } else if (w.size() == 2 && w[1] == "garbage") {
            c.list_reply = ListReply::Garbage;
        } else if (w.size() == 2 && w[1] == "silent") {
            c.list_reply = ListReply::Silent;
        } else if (w.size() == 2 && w[1] == "close") {
            c.list_reply = ListReply::Close;
        } else if (w.size() == 2 && w[1] == "partial") {
            c.list_reply = ListReply::Partial;
        } else if ((w.size() == 2 || w.size() == 3) && w[1] == "badlength") {
            c.list_reply = ListReply::BadLength;
            if (w.size() == 3) {
                auto n = parse_u64(w[2]);
                if (!n || *n > UINT32_MAX) return fail(format("bad length \"{}\"", w[2]));
                c.list_length = static_cast<std::uint32_t>(*n);
            }
        } else if ((w.size() == 2 || w.size() == 3) && (w[1] == "nested-binary" || w[1] == "nested-xml")) {
            bool binary = w[1] == "nested-binary";
            c.list_reply = binary ? ListReply::NestedBinary : ListReply::NestedXml;
            c.list_length = binary ? DEFAULT_NESTED_BINARY_DEPTH : DEFAULT_NESTED_XML_DEPTH;
            if (w.size() == 3) {
                auto n = parse_u64(w[2]);
                if (!n || *n == 0 || *n > MAX_NESTED_DEPTH)
                    return fail(format("bad depth \"{}\" (1 to {})", w[2], MAX_NESTED_DEPTH));
                c.list_length = static_cast<std::uint32_t>(*n);
            }
        } else {
            return fail(format("usage: {}", usage));
        }
        return c;
    }
    if (name == "connect-reply") {
        constexpr std::string_view usage = "connect-reply normal|silent|partial";
        c.op = Op::ConnectReplyMode;
        if (w.size() == 2 && w[1] == "normal")
            c.connect_reply = ConnectReply::Normal;
        else if (w.size() == 2 && w[1] == "silent")
            c.connect_reply = ConnectReply::Silent;
        else if (w.size() == 2 && w[1] == "partial")
            c.connect_reply = ConnectReply::Partial;
        else
            return fail(format("usage: {}", usage));
        return c;
    }
    if (name == "events") {
        if (w.size() != 3 || w[1] != "feedback" || !parse_on_off(w[2]))
            return fail("usage: events feedback on|off");
        c.op = Op::Events;
        c.on = *parse_on_off(w[2]);
        return c;
    }
    if (name == "devices") {
        if (w.size() != 1) return fail("usage: devices");
        c.op = Op::Devices;
        return c;
    }
    if (name == "sleep") {
        if (w.size() != 2 || !parse_u64(w[1])) return fail("usage: sleep MS");
        c.op = Op::Sleep;
        c.ms = *parse_u64(w[1]);
        return c;
    }
    if (name == "quit") {
        if (w.size() != 1) return fail("usage: quit");
        c.op = Op::Quit;
        return c;
    }
    return fail(format("unknown command \"{}\"", name));
}

}  // namespace vantrel::sim
