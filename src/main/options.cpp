#include "main/options.h"

#include <getopt.h>
#include <sys/un.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <iterator>

#include <fmt/format.h>

#include "console/console.h"
#include "net/address.h"

namespace vantrel::app {
namespace {

constexpr std::string_view UNIX_PREFIX = "UNIX:";
constexpr std::uint64_t MAX_SECONDS = 86'400;

enum class Id {
    Udid,
    Plain,
    Json,
    StatusInterval,
    StallTimeout,
    Daemon,
    VideoTo,
    TrackingTo,
    List,
    Help,
    Version
};

// One row per option: the single source of the parser and of --help.
struct OptionEntry {
    const char* name;   // the long name, without "--"
    const char* value;  // what the value is called in --help; nullptr: the option takes none
    const char* help;
    Id id;
    char short_name;  // 0: none
};

constexpr OptionEntry OPTIONS[] = {
    {"udid", "SERIAL", "bridge only the device with this serial number (case and hyphens aside)", Id::Udid,
     'u'},
    {"plain", nullptr, "output for logs and services: no colours, no spinner", Id::Plain, 0},
    {"json", nullptr, "output for programs: one JSON object per line and per event", Id::Json, 0},
    {"status-interval", "SECS",
     "with --plain or --json: give the status every SECS seconds\n(default 10; 0: never)", Id::StatusInterval,
     0},
    {"stall-timeout", "SECS",
     "end a session in which neither stream delivered a packet for\nSECS seconds (1-86400)", Id::StallTimeout,
     0},
    {"daemon", "ADDRESS",
     "talk to usbmuxd only at ADDRESS: UNIX:/path or HOST:PORT\n(default: $USBMUXD_SOCKET_ADDRESS, else "
     "/var/run/usbmuxd,\nthen 127.0.0.1:27015)",
     Id::Daemon, 0},
    {"video-to", "HOST:PORT", "send video to HOST:PORT (default 127.0.0.1:5000)", Id::VideoTo, 0},
    {"tracking-to", "HOST:PORT", "send tracking data to HOST:PORT (default 127.0.0.1:4242)", Id::TrackingTo,
     0},
    {"list", nullptr, "print the attached devices (serial and connection type) and exit", Id::List, 'l'},
    {"help", nullptr, "show this help and exit", Id::Help, 'h'},
    {"version", nullptr, "show the version and exit", Id::Version, 'V'},
};

// getopt_long's value of a row: its short name, or a number above every character for a long-only one.
int getopt_value(const OptionEntry& entry) {
    return entry.short_name != 0 ? entry.short_name
                                 : 256 + static_cast<int>(std::distance(std::begin(OPTIONS), &entry));
}

const OptionEntry* entry_of_value(int value) {
    const auto* found =
        std::ranges::find_if(OPTIONS, [value](const auto& e) { return getopt_value(e) == value; });
    return found == std::end(OPTIONS) ? nullptr : found;
}

std::unexpected<UsageError> usage_error(std::string message) {
    return std::unexpected(UsageError{std::move(message)});
}

// Why getopt_long turned down a long option: no option starts with the name, or several do.
std::string long_option_problem(std::string_view argument) {
    const std::string_view name = argument.substr(2, argument.find('=') - 2);
    std::vector<std::string> candidates;
    for (const auto& entry : OPTIONS)
        if (std::string_view(entry.name).starts_with(name))
            candidates.push_back(fmt::format("'--{}'", entry.name));
    if (candidates.size() < 2) return fmt::format("unrecognized option '{}'", argument);
    return fmt::format("option '{}' is ambiguous; possibilities: {}", argument, fmt::join(candidates, " "));
}

std::optional<std::uint64_t> parse_seconds(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > MAX_SECONDS)
        return std::nullopt;
    return value;
}

// A destination as the options give it: HOST:PORT, a name looked up now.
std::expected<void, std::string> take_destination(std::string& destination, std::string_view value) {
    auto address = net::resolve_socket_address(value);
    if (!address) return std::unexpected(address.error());
    destination = address->text();
    return {};
}

// Stores the value of an option that takes one; what is wrong with the value when it is malformed
// (empty when there is nothing more to say than that).
std::expected<void, std::string> take_value(Options& options, Id id, std::string_view value) {
    switch (id) {
        case Id::Udid:
            // Serials are compared without their hyphens: nothing but hyphens would match anything.
            if (value.find_first_not_of('-') == std::string_view::npos) return std::unexpected("");
            options.udid = std::string(value);
            return {};
        case Id::StatusInterval: {
            const auto seconds = parse_seconds(value);
            if (!seconds) return std::unexpected("");
            options.status_interval = std::chrono::seconds(*seconds);
            return {};
        }
        case Id::StallTimeout: {
            const auto seconds = parse_seconds(value);
            if (!seconds || *seconds == 0) return std::unexpected("");
            options.stall_timeout = std::chrono::seconds(*seconds);
            return {};
        }
        case Id::Daemon: {
            auto daemon = parse_daemon_address(value);
            if (!daemon) return std::unexpected(daemon.error());
            options.daemon = std::move(*daemon);
            return {};
        }
        case Id::VideoTo: return take_destination(options.video_to, value);
        case Id::TrackingTo: return take_destination(options.tracking_to, value);
        default: return std::unexpected("");
    }
}

std::string invalid_value(std::string_view value, std::string_view option, const std::string& why) {
    return why.empty() ? fmt::format("invalid value '{}' for '{}'", value, option)
                       : fmt::format("invalid value '{}' for '{}': {}", value, option, why);
}

}  // namespace

std::expected<mux::DaemonAddress, std::string> parse_daemon_address(std::string_view text) {
    mux::DaemonAddress address;
    if (text.starts_with(UNIX_PREFIX)) {
        const auto path = text.substr(UNIX_PREFIX.size());
        if (path.empty()) return std::unexpected("no path after UNIX:");
        if (path.size() >= sizeof(sockaddr_un::sun_path) || path.find('\0') != path.npos)
            return std::unexpected("not a Unix socket path");
        address.unix_path = std::string(path);
        address.tcp_address.clear();
        return address;
    }
    // Port 0 is nobody's address (resolve_socket_address refuses it): a connect could only fail.
    auto resolved = net::resolve_socket_address(text);
    if (!resolved) return std::unexpected(resolved.error());
    address.unix_path.clear();
    address.tcp_address = resolved->text();
    return address;
}

namespace {

// The arguments as getopt_long wants them: a writable argv of C strings, the program's name in front,
// and its option tables built from OPTIONS.
class GetoptInput {
public:
    explicit GetoptInput(const std::vector<std::string_view>& args) {
        storage_.emplace_back("vantrel-usb");
        storage_.insert(storage_.end(), args.begin(), args.end());
        argv_.resize(storage_.size() + 1, nullptr);  // getopt's argv ends in a null pointer
        std::ranges::transform(storage_, argv_.begin(), [](std::string& arg) { return arg.data(); });
        for (const auto& entry : OPTIONS) {
            if (entry.short_name != 0) short_options_ += entry.short_name;
            if (entry.short_name != 0 && entry.value != nullptr) short_options_ += ':';
            long_options_.push_back(
                {entry.name, entry.value ? required_argument : no_argument, nullptr, getopt_value(entry)});
        }
        long_options_.push_back({});
    }

    // The next option's value, -1 after the last; getopt_long's state is global, and this runs once, in
    // main, before any thread starts.
    int next() {
        // NOLINTNEXTLINE(concurrency-mt-unsafe)
        return ::getopt_long(argc(), argv_.data(), short_options_.c_str(), long_options_.data(), nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    std::string_view at(int index) const { return storage_[static_cast<std::size_t>(index)]; }

private:
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
    std::string short_options_ = ":";  // ':' first: a missing value is told from an unknown option
    std::vector<option> long_options_;
};

// What getopt_long turned down (it returned ':' or '?' for `argument`), in glibc's own words.
std::string refusal(int c, std::string_view argument) {
    const OptionEntry* entry = entry_of_value(optopt);
    if (c == ':' && entry != nullptr)
        return argument.starts_with("--")
                   ? fmt::format("option '--{}' requires an argument", entry->name)
                   : fmt::format("option requires an argument -- '{}'", entry->short_name);
    if (entry != nullptr && (entry->short_name == 0 || argument.starts_with("--")))
        return fmt::format("option '--{}' doesn't allow an argument", entry->name);
    if (optopt != 0) return fmt::format("invalid option -- '{}'", static_cast<char>(optopt));
    return long_option_problem(argument);
}

// Takes one accepted option; what is wrong with its value otherwise.
std::expected<void, UsageError> take(Options& options, const OptionEntry& entry, const char* value) {
    switch (entry.id) {
        case Id::Help: options.help = true; return {};
        case Id::Version: options.version = true; return {};
        case Id::Plain: options.output = console::OutputMode::Plain; return {};
        case Id::Json: options.output = console::OutputMode::Json; return {};
        case Id::List: options.list = true; return {};
        default: break;
    }
    auto taken = take_value(options, entry.id, value);
    if (!taken) return usage_error(invalid_value(value, fmt::format("--{}", entry.name), taken.error()));
    return {};
}

// Options that were each fine but do not go together.
std::expected<void, UsageError> check_together(const Options& options, const std::vector<Id>& given) {
    const auto was_given = [&given](Id id) { return std::ranges::find(given, id) != given.end(); };
    if (was_given(Id::Plain) && was_given(Id::Json))
        return usage_error("options '--plain' and '--json' exclude each other");
    if (was_given(Id::StatusInterval) && options.output == console::OutputMode::Terminal)
        return usage_error("option '--status-interval' goes with '--plain' or '--json'");
    if (!options.list || options.help || options.version) return {};
    const auto* other = std::ranges::find_if(OPTIONS, [&](const OptionEntry& e) {
        return was_given(e.id) && e.id != Id::List && e.id != Id::Daemon && e.id != Id::Json;
    });
    if (other != std::end(OPTIONS))
        return usage_error(fmt::format("option '--list' does not go with '--{}'", other->name));
    return {};
}

// libusbmuxd's variable, as --daemon would take it; --daemon wins, and empty counts as unset.
std::expected<void, UsageError> take_socket_address(Options& options, std::string_view value) {
    if (options.daemon || value.empty()) return {};
    auto daemon = parse_daemon_address(value);
    if (!daemon)
        return usage_error(
            fmt::format("invalid value '{}' in {}: {}", value, SOCKET_ADDRESS_VARIABLE, daemon.error()));
    options.daemon = std::move(*daemon);
    return {};
}

}  // namespace

std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args,
                                                      std::optional<std::string_view> socket_address) {
    GetoptInput input(args);
    Options options;
    std::vector<Id> given;
    // The messages are ours (getopt's would show an argument's control bytes as they are).
    opterr = 0;
    optind = 0;  // a fresh start of getopt's own state
    for (int c = input.next(); c != -1; c = input.next()) {
        const std::string_view argument = input.at(optind - 1);
        const OptionEntry* entry = c == '?' || c == ':' ? nullptr : entry_of_value(c);
        if (entry == nullptr) return usage_error(refusal(c, argument));
        given.push_back(entry->id);
        if (auto taken = take(options, *entry, optarg); !taken) return std::unexpected(taken.error());
    }
    if (optind < input.argc()) return usage_error(fmt::format("extra operand '{}'", input.at(optind)));
    if (auto together = check_together(options, given); !together) return std::unexpected(together.error());
    if (auto taken = take_socket_address(options, socket_address.value_or("")); !taken)
        return std::unexpected(taken.error());
    return options;
}

std::string usage_text() {
    std::string options;
    for (const auto& entry : OPTIONS) {
        const std::string shown =
            fmt::format("{}--{}{}", entry.short_name ? fmt::format("-{}, ", entry.short_name) : "    ",
                        entry.name, entry.value ? fmt::format(" {}", entry.value) : "");
        // A help text of several lines goes on under its first.
        std::string help = entry.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 33)
            help.insert(at + 1, 32, ' ');
        options += fmt::format("  {:<30}{}\n", shown, help);
    }
    return fmt::format(
        "Usage: vantrel-usb [OPTION]...\n"
        "Bridges the Vantrel iOS app, reached through usbmuxd, to UDP: video to 127.0.0.1:5000, tracking to\n"
        "127.0.0.1:4242 (or where --video-to and --tracking-to say), and the video consumer's feedback back "
        "to\n"
        "the app.\n"
        "\n"
        "{}"
        "\n"
        "Ctrl+C or SIGTERM ends it. Exit status: 0 after an orderly end, 1 when --list cannot ask the\n"
        "daemon, 2 for a bad command line, 101 after a fatal error. See vantrel-usb(1).\n",
        options);
}

}  // namespace vantrel::app
