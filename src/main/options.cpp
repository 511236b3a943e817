#include "main/options.h"

#include <sys/un.h>

#include <algorithm>
#include <charconv>
#include <iterator>

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
    // Port 0 is nobody's address: a connect to it could only ever fail.
    const auto parsed = net::parse_ipv4(text);
    if (!parsed || parsed->sin_port == 0) return std::nullopt;
    address.unix_path.clear();
    address.tcp_address = std::string(text);
    return address;
}

namespace {

// Stores the value of an option that takes one; false when the value is malformed.
bool take_value(Options& options, std::string_view name, std::string_view value) {
    if (name == "--udid") {
        options.udid = std::string(value);
        return !value.empty();
    }
    if (name == "--status-interval") {
        const auto seconds = parse_seconds(value);
        if (!seconds) return false;
        options.status_interval = std::chrono::seconds(*seconds);
        return true;
    }
    options.daemon = parse_daemon_address(value);
    return options.daemon.has_value();
}

// The long name of an option, or empty when `name` is none of ours.
std::string_view long_name_of(std::string_view name) {
    if (name == "-h") return "--help";
    if (name == "-V") return "--version";
    if (name == "-u") return "--udid";
    constexpr std::string_view KNOWN[] = {"--help", "--version",         "--plain",
                                          "--udid", "--status-interval", "--daemon"};
    const auto* known = std::ranges::find(KNOWN, name);
    return known == std::end(KNOWN) ? std::string_view() : *known;
}

}  // namespace

std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args) {
    Options options;
    bool status_interval_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        // A value comes as "--name=VALUE", "--name VALUE", "-uVALUE" or "-u VALUE".
        std::string_view name = arg, value;
        bool attached = false;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            attached = true;
        } else if (arg.starts_with("-u") && arg.size() > 2) {
            name = "-u";
            value = arg.substr(2);
            attached = true;
        }
        const std::string_view option = long_name_of(name);
        if (option.empty()) {
            if (arg.starts_with("-") && arg != "-")
                return usage_error("unknown option '" + std::string(name) + "'");
            return usage_error("unexpected argument '" + std::string(arg) + "'");
        }
        if (option == "--help" || option == "--version" || option == "--plain") {
            if (attached) return usage_error("option '" + std::string(option) + "' takes no value");
            options.help = options.help || option == "--help";
            options.version = options.version || option == "--version";
            options.plain = options.plain || option == "--plain";
            continue;
        }
        if (!attached) {
            if (i + 1 == args.size())
                return usage_error("option '" + std::string(option) + "' needs a value");
            value = args[++i];
        }
        status_interval_given = status_interval_given || option == "--status-interval";
        if (!take_value(options, option, value))
            return usage_error("invalid value '" + std::string(value) + "' for '" + std::string(option) +
                               "'");
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
