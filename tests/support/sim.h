// The one driver of vantrel-sim for the tests (its script interface and its output), and a receiver of
// what the bridge sends on UDP 5000 and 4242.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace vantrel::test {

class Sim {
public:
    // Starts `vantrel-sim --script` (without --script when `scripted` is false) with the extra options
    // and environment, and waits for its "ready" line; throws when it does not come.
    explicit Sim(std::vector<std::string> options = {}, bool scripted = true,
                 const std::vector<std::string>& env = {});

    // Sends one command and returns its reply line ("ok ..." or "error: ..."), skipping events.
    std::string command(const std::string& line,
                        std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // `command` that must answer "ok"; returns the reply.
    std::string ok(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(15));

    // The event lines printed so far ("event ..."), without the prefix.
    std::vector<std::string> events();
    // Waits for an event line equal to `event` (or starting with it), after those already seen.
    bool wait_event(const std::string& event, std::chrono::milliseconds timeout);
    // Waits for the line "event EVENT" anywhere in the output, also before those already seen.
    bool saw_event(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // How many lines "event EVENT" the output holds so far.
    std::size_t count_events(const std::string& event) const;

    Child& child() { return child_; }
    const std::string& out() const { return child_.out(); }

private:
    std::optional<std::string> next_line(std::chrono::milliseconds timeout);

    Child child_;
    std::size_t cursor_ = 0;        // reply lines are read from here on
    std::size_t event_cursor_ = 0;  // wait_event looks from here on
};

// A UDP socket that collects datagrams, with an 8 MB receive buffer.
class UdpReceiver {
public:
    // Bound to 127.0.0.1:port.
    explicit UdpReceiver(std::uint16_t port);
    // Bound to a numeric address: "127.0.0.1:6000", "[::1]:6000", "192.0.2.10:6000".
    explicit UdpReceiver(const std::string& address);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // The next datagram within `timeout`, and where it came from.
    std::optional<std::string> receive(std::chrono::milliseconds timeout, sockaddr_in* from = nullptr);
    std::optional<std::string> receive(std::chrono::milliseconds timeout, sockaddr_storage* from);
    // Sends a datagram to `to` from this socket.
    void send_to(const std::string& data, const sockaddr_in& to);
    void send_to(const std::string& data, const sockaddr_storage& to);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

std::string to_hex(const std::string& bytes);

}  // namespace vantrel::test
