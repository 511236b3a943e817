// Telling systemd how the bridge is doing (sd_notify): ready, its state in words, stopping, and the
// watchdog's keep-alive from the thread that drives the program. Without NOTIFY_SOCKET nothing is sent.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::app {

class Systemd {
public:
    using Clock = std::chrono::steady_clock;

    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (the watchdog only when it is this process's).
    Systemd();

    void ready();
    // STATUS=, when it differs from the last one sent.
    void status(std::string_view text);
    void stopping();

    // When the next keep-alive is due (half the watchdog's interval after the last); nullopt without
    // a watchdog.
    std::optional<Clock::time_point> keepalive_due() const;
    // Sends the keep-alive when it is due, or, with `before_long_wait`, when a second has passed since
    // the last: a daemon request or a setup attempt then starts with a full interval before it.
    void keepalive(bool before_long_wait = false);

private:
    void notify(const std::string& state) const;

    bool enabled_ = false;
    std::optional<Clock::duration> watchdog_;
    Clock::time_point last_keepalive_{};
    std::string last_status_;
};

}  // namespace vantrel::app
