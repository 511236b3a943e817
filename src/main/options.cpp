#include "main/options.h"

#include <sys/un.h>

#include <charconv>
#include <functional>

#include "net/wire.h"

namespace vantrel::app {
namespace {

constexpr std::string_view UNIX_PREFIX = "UNIX:";
constexpr std::uint64_t MAX_STATUS_INTERVAL = 86'400;

std::optional<std::uint64_t> parse_seconds(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > MAX_STATUS_INTERVAL)
        return std::nullopt;
    return value;
}

std::unexpected<UsageError> usage_error(std::string message) {
    return std::unexpected(UsageError{std::move(message)});
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
    if (!net::parse_ipv4(text)) return std::nullopt;
    address.unix_path.clear();
    address.tcp_address = std::string(text);
    return address;
}

std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args) {
    Options options;
    bool status_interval_given = false;
    // Each option with a value: how it takes it. A value comes as "--name=VALUE", "--name VALUE",
    // "-uVALUE" or "-u VALUE".
    struct WithValue {
        std::string_view long_name;
        char short_name;
        std::function<bool(std::string_view)> take;
    };
    const WithValue with_value[] = {
        {"--udid", 'u',
         [&](std::string_view v) {
             options.udid = std::string(v);
             return !v.empty();
         }},
        {"--status-interval", 0,
         [&](std::string_view v) {
             status_interval_given = true;
             auto seconds = parse_seconds(v);
             if (seconds) options.status_interval = std::chrono::seconds(*seconds);
             return seconds.has_value();
         }},
        {"--daemon", 0,
         [&](std::string_view v) {
             options.daemon = parse_daemon_address(v);
             return options.daemon.has_value();
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "-V" || arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--plain") {
            options.plain = true;
            continue;
        }
        const WithValue* option = nullptr;
        std::optional<std::string_view> value;
        for (const auto& candidate : with_value) {
            if (arg == candidate.long_name ||
                (candidate.short_name && arg == std::string{'-', candidate.short_name})) {
                option = &candidate;
            } else if (arg.starts_with(candidate.long_name) && arg.size() > candidate.long_name.size() &&
                       arg[candidate.long_name.size()] == '=') {
                option = &candidate;
                value = arg.substr(candidate.long_name.size() + 1);
            } else if (candidate.short_name && arg.size() > 2 && arg[0] == '-' &&
                       arg[1] == candidate.short_name) {
                option = &candidate;
                value = arg.substr(2);
            }
            if (option) break;
        }
        if (option == nullptr) {
            if (arg.starts_with("-") && arg != "-")
                return usage_error("unknown option '" + std::string(arg) + "'");
            return usage_error("unexpected argument '" + std::string(arg) + "'");
        }
        const std::string name(option->long_name);
        if (!value) {
            if (i + 1 == args.size()) return usage_error("option '" + name + "' needs a value");
            value = args[++i];
        }
        if (!option->take(*value))
            return usage_error("invalid value '" + std::string(*value) + "' for '" + name + "'");
    }
    if (status_interval_given && !options.plain)
        return usage_error("'--status-interval' goes with '--plain'");
    return options;
}

std::string usage_text() {
    return "Usage: vantrel-usb [OPTION]...\n"
           "Bridges the Vantrel iOS app, reached through usbmuxd, to UDP on loopback: video to "
           "127.0.0.1:5000,\n"
           "tracking to 127.0.0.1:4242, and the video consumer's feedback back to the app.\n"
           "\n"
           "  -u, --udid SERIAL           bridge only the device with this serial number\n"
           "      --plain                 output for logs and services: no colours, no spinner\n"
           "      --status-interval SECS  with --plain: print the status every SECS seconds (default 10; 0: "
           "never)\n"
           "      --daemon ADDRESS        talk to usbmuxd only at ADDRESS: UNIX:/path or a.b.c.d:port\n"
           "  -h, --help                  show this help and exit\n"
           "  -V, --version               show the version and exit\n"
           "\n"
           "Ctrl+C or SIGTERM ends it. Exit status: 0 after an orderly end, 2 for a bad command line,\n"
           "101 after a fatal error. See vantrel-usb(1).\n";
}

}  // namespace vantrel::app
