// The script command language of vantrel-sim: one command per line, parsed into a Command.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::sim {

// What the app side can do wrong on a tunnel, on demand or after a stream's count.
enum class FaultKind { Close, ZeroLength, OverLength, HalfPrefix, HalfFrame, Silent, Unplug };
std::optional<FaultKind> parse_fault(std::string_view name);

enum class HealthMode { Answer, Ignore, Late, Split, Trickle };
// A trickling health answer announces this many payload bytes unless told otherwise.
inline constexpr std::uint32_t DEFAULT_TRICKLE_LENGTH = 65536;

// How a device is attached: its entry's "ConnectionType" is "USB" or "Network", or there is none.
enum class ConnectionType { Usb, Network, None };

// How "ListDevices" is answered.
enum class ListReply {
    Normal,
    Binary,
    Garbage,
    BadLength,
    Silent,
    Close,
    Partial,
    NestedBinary,  // arrays nested DEPTH deep
    NestedXml,
    NestedAttributes,  // the devices wrapped in arrays, DEPTH levels in all, tags with tricky attributes
    SharedList,        // "DeviceList" of REFS references to one SIZE-byte string
    SharedSide,        // an empty "DeviceList" and a side array of REFS references to one string
    NoSerialXml,       // N entries without "SerialNumber", then the devices
    NoSerialBinary,
    EmptyDictXml,  // N empty dictionaries, then the devices
    EmptyDictBinary,
};

// How "Connect" is answered: in full, not at all, with half of the payload its header announces, or
// in full with a side array of REFS references to one SIZE-byte string (binary).
enum class ConnectReply { Normal, Silent, Partial, SharedSide };

// A reply mode and the numbers it takes: badlength LENGTH; nested-* DEPTH; shared-* REFS and SIZE;
// no-serial-* and empty-dict-* N.
template <typename Mode>
struct ReplyShape {
    Mode mode{};
    std::uint32_t number = 0;
    std::uint32_t size = 0;

    friend bool operator==(const ReplyShape&, const ReplyShape&) = default;
};

std::optional<ConnectionType> parse_connection_type(std::string_view word);

inline constexpr std::uint32_t MAX_STREAM_PACKET = 1 << 20;
inline constexpr std::uint64_t MAX_READ_RATE = 1'000'000'000;
inline constexpr std::uint64_t MAX_STREAM_RATE = 10'000'000;

// A packet generator: what `stream` starts and `autostream` starts on every new tunnel.
struct StreamSettings {
    std::uint64_t rate = 0;  // packets per second; 0: as fast as the peer reads
    std::uint32_t size_min = 1000;
    std::uint32_t size_max = 1000;
    std::optional<std::uint64_t> count{};  // sequence numbers to go through, skipped ones included
    bool stamp = false;
    std::optional<std::uint32_t> stream_id{};                       // default: the port
    std::optional<std::pair<std::uint64_t, std::uint64_t>> skip{};  // sequence numbers not sent
    std::uint64_t seed = 1;
    std::optional<FaultKind> then{};  // applied once the last packet is handed to the system
    std::string file{};               // payload source: "" generated, "-" standard input, else a path
    bool loop = false;                // start a regular file over at its end

    friend bool operator==(const StreamSettings&, const StreamSettings&) = default;
};

// One key=value word of `stream` / `autostream` (or of a stream option of the command line).
std::expected<void, std::string> set_stream_option(StreamSettings& settings, std::string_view word);
// Parses the key=value words of `stream` / `autostream`.
std::expected<StreamSettings, std::string> parse_stream_settings(const std::vector<std::string_view>& words);
// The rules that combine several keys (also checked for the command-line stream options).
std::expected<void, std::string> check_stream_settings(const StreamSettings& settings);

struct Command {
    enum class Op {
        Plug,
        Unplug,
        Listen,
        Refuse,
        Health,
        Mode,
        Echo,
        Read,
        WaitConnect,
        WaitDisconnect,
        WaitHealth,
        WaitStream,
        WaitFeedback,
        Send,
        Raw,
        Close,
        Stream,
        AutoStream,
        Stop,
        Silent,
        Fault,
        ListReplyMode,
        ConnectReplyMode,
        Stats,
        Events,
        Devices,
        Sleep,
        Quit
    };

    Op op = Op::Quit;
    std::uint32_t device = 0;
    std::uint16_t port = 0;
    std::string serial{};                             // plug, plug-hex
    ConnectionType connection = ConnectionType::Usb;  // plug, plug-hex
    bool on = false;                     // listen, echo, read, events; mode: raw; autostream: enabled
    std::uint64_t ms = 0;                // refuse, sleep, health late/split/trickle, wait timeouts
    std::uint64_t count = 0;             // wait-feedback
    std::uint64_t bytes_per_second = 0;  // read rate
    std::uint32_t trickle_length = DEFAULT_TRICKLE_LENGTH;  // health trickle
    std::vector<std::uint8_t> bytes{};                      // send, raw; health answer payload
    HealthMode health = HealthMode::Answer;
    ReplyShape<ListReply> list_reply{};
    ReplyShape<ConnectReply> connect_reply{};
    FaultKind fault = FaultKind::Close;
    StreamSettings stream{};  // stream, autostream
};

inline constexpr std::uint64_t DEFAULT_WAIT_MS = 10'000;

// A serial number given in hex (any bytes but 00), for `plug-hex` and --device-hex.
std::expected<std::string, std::string> parse_serial_hex(std::string_view hex);

// Blank lines and lines starting with '#' hold no command.
bool is_command_line(std::string_view line);

// A row of the script language: the name, the usage (also the reply to a malformed line), a short help
// text and the parser of the words (words[0] is the name; `op` is already set in the Command).
struct CommandEntry {
    std::string_view name;
    Command::Op op;
    std::string_view usage;
    std::string_view help;
    std::expected<void, std::string> (*parse)(const std::vector<std::string_view>& words, Command& c,
                                              std::string_view usage);
};
std::span<const CommandEntry> command_table();

// Parses one command line; the error text is what follows "error: " in the reply.
std::expected<Command, std::string> parse_command(std::string_view line);

}  // namespace vantrel::sim
