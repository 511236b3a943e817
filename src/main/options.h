// The command line: none for the bridge as it always was, and options for daily use, read the GNU
// way (getopt_long).
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mux/client.h"

namespace vantrel::app {

struct Options {
    bool help = false;
    bool version = false;
    std::optional<std::string> udid;  // bridge only the device with this serial number
    bool plain = false;               // output for logs and services
    // How often plain output prints the status line; zero: never.
    std::chrono::seconds status_interval{10};
    // Talk to usbmuxd only here (no fallback); unset: the Unix socket, then the TCP fallback.
    std::optional<mux::DaemonAddress> daemon;
};

// What is wrong with a command line, in one line ("unrecognized option '--frob'").
struct UsageError {
    std::string message;
};

// Reads the arguments after the program's name.
std::expected<Options, UsageError> parse_command_line(const std::vector<std::string_view>& args);

// A daemon address in libusbmuxd's USBMUXD_SOCKET_ADDRESS forms: "UNIX:/path" or "a.b.c.d:port".
std::optional<mux::DaemonAddress> parse_daemon_address(std::string_view text);

// The text of --help, made from the table of options.
std::string usage_text();

}  // namespace vantrel::app
