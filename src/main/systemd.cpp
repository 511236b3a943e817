#include "main/systemd.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace vantrel::app {

Systemd::Systemd() {
    // Made in main before any thread starts, and nothing here changes the environment.
    const char* socket = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
    enabled_ = socket != nullptr && *socket != '\0';
    std::uint64_t usec = 0;
    // Checks WATCHDOG_PID against this process as well.
    if (enabled_ && ::sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        watchdog_ = std::chrono::microseconds(usec);
}

void Systemd::notify(const std::string& state) const {
    // A service manager that cannot be told is no reason to stop bridging.
    if (enabled_) (void)::sd_notify(0, state.c_str());
}

void Systemd::ready() {
    notify("READY=1");
    keepalive();
}

void Systemd::status(std::string_view text) {
    if (!enabled_ || text == last_status_) return;
    last_status_ = std::string(text);
    notify("STATUS=" + last_status_);
}

void Systemd::stopping() {
    notify("STOPPING=1");
}

std::optional<Systemd::Clock::time_point> Systemd::keepalive_due() const {
    if (!watchdog_) return std::nullopt;
    return last_keepalive_ + *watchdog_ / 2;
}

void Systemd::keepalive(bool before_long_wait) {
    if (!watchdog_) return;
    const auto now = Clock::now();
    const auto since = now - last_keepalive_;
    if (since < *watchdog_ / 2 && !(before_long_wait && since >= std::chrono::seconds(1))) return;
    notify("WATCHDOG=1");
    last_keepalive_ = now;
}

}  // namespace vantrel::app
