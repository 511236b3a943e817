#include "main/options.h"

#include <getopt.h>
#include <sys/un.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <iterator>

#include <fmt/format.h>

#include "console/console.h"
#include "net/wire.h"

namespace vantrel::app {
namespace {

constexpr std::string_view UNIX_PREFIX = "UNIX:";
constexpr std::uint64_t MAX_STATUS_INTERVAL = 86'400;

enum class Id { Udid, Plain, StatusInterval, Daemon, Help, Version };

// One row per option: the single source of the parser and of --help.
struct OptionEntry {
    Id id;
    const char* name;   // the long name, without "--"
    char short_name;    // 0: none
    const char* value;  // what the value is called in --help; nullptr: the option takes none
    const char* help;
};

constexpr OptionEntry OPTIONS[] = {
    {Id::Udid, "udid", 'u', "SERIAL", "bridge only the device with this serial number"},
    {Id::Plain, "plain", 0, nullptr, "output for logs and services: no colours, no spinner"},
    {Id::StatusInterval, "status-interval", 0, "SECS",
     "with --plain: print the status every SECS seconds (default 10; 0: never)"},
    {Id::Daemon, "daemon", 0, "ADDRESS", "talk to usbmuxd only at ADDRESS: UNIX:/path or a.b.c.d:port"},
    {Id::Help, "help", 'h', nullptr, "show this help and exit"},
    {Id::Version, "version", 'V', nullptr, "show the version and exit"},
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
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > MAX_STATUS_INTERVAL)
        return std::nullopt;
    return value;
}

// Stores the value of an option that takes one; false when the value is malformed.
bool take_value(Options& options, Id id, std::string_view value) {
    switch (id) {
        case Id::Udid: options.udid = std::string(value); return !value.empty();
        case Id::StatusInterval: {
            const auto seconds = parse_seconds(value);
            if (seconds) options.status_interval = std::chrono::seconds(*seconds);
            return seconds.has_value();
        }
        case Id::Daemon: options.daemon = parse_daemon_address(value); return options.daemon.has_value();
        default: return false;
    }
}

}  // namespace

std::optional<mux::DaemonAddress> parse_daemon_address(std::string_view text) {
    mux::DaemonAddress address;
    if (text.starts_with(UNIX_PREFIX)) {
        const auto path = text.substr(UNIX_PREFIX.size());
        if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path) || path.find('\0') != path.npos)
            return std::nullopt;
        address.unix_path = std::string(path);
        address.tcp_address.clear();
        return address;
    }
    // Port 0 is nobody's address: a connect to it could only ever fail.
    const auto parsed = net::parse_ipv4(text);
    if (!parsed || parsed->sin_port == 0) return std::nullopt;
    address.unix_path.clear();
    address.tcp_address = std::string(text);
    return address;
}

std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args) {
    // getopt_long wants a writable argv of C strings, with the program's name in front.
    std::vector<std::string> storage{"vantrel-usb"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string short_options = ":";  // ':' first: a missing value is told from an unknown option
    std::vector<option> long_options;
    for (const auto& entry : OPTIONS) {
        if (entry.short_name != 0)
            short_options +=
                entry.value ? fmt::format("{}:", entry.short_name) : std::string(1, entry.short_name);
        long_options.push_back(
            {entry.name, entry.value ? required_argument : no_argument, nullptr, getopt_value(entry)});
    }
    long_options.push_back({});

    Options options;
    bool status_interval_given = false;
    // The messages are ours (getopt's would show an argument's control bytes as they are).
    opterr = 0;
    optind = 0;  // a fresh start of getopt's own state
    const int argc = static_cast<int>(storage.size());
    for (int c;
         (c = ::getopt_long(argc, argv.data(), short_options.c_str(), long_options.data(), nullptr)) != -1;) {
        const std::string_view argument = argv[static_cast<std::size_t>(optind - 1)];
        const OptionEntry* entry = entry_of_value(c == '?' || c == ':' ? optopt : c);
        if (c == ':')
            return usage_error(argument.starts_with("--")
                                   ? fmt::format("option '--{}' requires an argument", entry->name)
                                   : fmt::format("option requires an argument -- '{}'", entry->short_name));
        if (c == '?') {
            if (entry != nullptr && (entry->short_name == 0 || argument.starts_with("--")))
                return usage_error(fmt::format("option '--{}' doesn't allow an argument", entry->name));
            if (optopt != 0)
                return usage_error(fmt::format("invalid option -- '{}'", static_cast<char>(optopt)));
            return usage_error(long_option_problem(argument));
        }
        switch (entry->id) {
            case Id::Help: options.help = true; break;
            case Id::Version: options.version = true; break;
            case Id::Plain: options.plain = true; break;
            default:
                status_interval_given = status_interval_given || entry->id == Id::StatusInterval;
                if (!take_value(options, entry->id, optarg))
                    return usage_error(fmt::format("invalid value '{}' for '--{}'", optarg, entry->name));
        }
    }
    if (optind < argc)
        return usage_error(fmt::format("extra operand '{}'", argv[static_cast<std::size_t>(optind)]));
    if (status_interval_given && !options.plain)
        return usage_error("option '--status-interval' goes with '--plain'");
    return options;
}

std::string usage_text() {
    std::string options;
    for (const auto& entry : OPTIONS) {
        const std::string shown =
            fmt::format("{}--{}{}", entry.short_name ? fmt::format("-{}, ", entry.short_name) : "    ",
                        entry.name, entry.value ? fmt::format(" {}", entry.value) : "");
        options += fmt::format("  {:<28}{}\n", shown, entry.help);
    }
    return fmt::format(
        "Usage: vantrel-usb [OPTION]...\n"
        "Bridges the Vantrel iOS app, reached through usbmuxd, to UDP on loopback: video to 127.0.0.1:5000,\n"
        "tracking to 127.0.0.1:4242, and the video consumer's feedback back to the app.\n"
        "\n"
        "{}"
        "\n"
        "Ctrl+C or SIGTERM ends it. Exit status: 0 after an orderly end, 2 for a bad command line,\n"
        "101 after a fatal error. See vantrel-usb(1).\n",
        options);
}

}  // namespace vantrel::app
