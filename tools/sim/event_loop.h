// The one event loop of the simulator and of the receiver: an epoll set, timers on the monotonic
// clock, and SIGINT/SIGTERM taken as a request to end (through a signalfd, so no handler runs).
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "net/fd.h"

namespace vantrel::sim {

class EventLoop {
public:
    // Creates the epoll set and the signalfd; SIGPIPE is ignored from then on.
    std::expected<void, std::string> open();

    // Readiness of `fd` is reported with `key` (any value but SIGNAL_KEY). False when epoll refuses
    // the descriptor (a regular file, for one).
    bool watch(int fd, std::uint64_t key, std::uint32_t events = EPOLLIN);
    void modify(int fd, std::uint64_t key, std::uint32_t events);
    void unwatch(int fd);

    void add_timer(std::uint64_t when_ns, std::function<void()> fn);
    // Runs every timer due at `now`, in the order of their times.
    void run_timers(std::uint64_t now);
    std::optional<std::uint64_t> next_timer_ns() const;

    // Waits until a descriptor is ready, `deadline_ns` (monotonic) passes or a signal arrives; returns
    // the ready events (signals are taken in here, see `stopped`). Empty also after an epoll error.
    std::span<epoll_event> wait(std::optional<std::uint64_t> deadline_ns);
    // True once SIGINT or SIGTERM arrived.
    bool stopped() const { return stopped_; }

private:
    static constexpr std::uint64_t SIGNAL_KEY = UINT64_MAX;
    static constexpr int MAX_EVENTS = 64;

    net::Fd epoll_, signals_;
    std::multimap<std::uint64_t, std::function<void()>> timers_;
    epoll_event events_[MAX_EVENTS]{};
    bool stopped_ = false;
};

}  // namespace vantrel::sim
