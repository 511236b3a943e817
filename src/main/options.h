// The command line: none for the bridge as it always was, and options for daily use, read the GNU
// way (getopt_long).
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/report.h"
#include "mux/client.h"

namespace vantrel::app {

struct Options {
    bool help = false;
    bool version = false;
    std::optional<std::string> udid;  // bridge only the device with this serial number
    console::OutputMode output = console::OutputMode::Terminal;
    // How often plain and JSON output give the status; zero: never.
    std::chrono::seconds status_interval{10};
    // A session in which neither stream delivers a packet for this long ends; unset: never.
    std::optional<std::chrono::seconds> stall_timeout;
    // Talk to usbmuxd only here (no fallback); unset: the Unix socket, then the TCP fallback.
    std::optional<mux::DaemonAddress> daemon;
    // Where the datagrams go, as numeric addresses (a host name given is looked up once, here).
    std::string video_to{"127.0.0.1:5000"};
    std::string tracking_to{"127.0.0.1:4242"};
    bool list = false;  // print the attached devices and end
};

// What is wrong with a command line, in one line ("unrecognized option '--frob'").
struct UsageError {
    std::string message;
};

// The environment variable that libusbmuxd's clients take the daemon's address from.
inline constexpr std::string_view SOCKET_ADDRESS_VARIABLE = "USBMUXD_SOCKET_ADDRESS";

// Reads the arguments after the program's name; `socket_address` is the value of
// USBMUXD_SOCKET_ADDRESS (nullopt when it is unset), which --daemon overrides.
std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args,
                                                      std::optional<std::string_view> socket_address = {});

// A daemon address in libusbmuxd's USBMUXD_SOCKET_ADDRESS forms, "UNIX:/path" or "HOST:PORT" (a numeric
// IPv4 host, an IPv6 host in brackets, or a name, looked up here); the error says what is wrong.
std::expected<mux::DaemonAddress, std::string> parse_daemon_address(std::string_view text);

// The text of --help, made from the table of options.
std::string usage_text();

}  // namespace vantrel::app
