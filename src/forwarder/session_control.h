// How a session is stopped: once, for whatever reason, waking everyone who waits on it at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

// Wakes the driver when something it watches has changed. Whoever changes such a thing (clears
// `running`, stops a session) calls notify() afterwards; the driver re-checks in wait_until.
class Waker {
public:
    void notify();

    // Sleeps until `done()` holds or `deadline` passes; returns done().
    template <typename Done>
    bool wait_until(std::chrono::steady_clock::time_point deadline, Done done) {
        std::unique_lock guard(lock_);
        return changed_.wait_until(guard, deadline, done);
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
};

// The stop of one session, shared by the driver and the session's threads. The first stop(), from
// whichever side (Ctrl+C through the driver, a forwarding thread whose stream failed, a setup
// attempt that failed part-way), clears `active`, wakes the driver, makes the wake-up descriptor of
// "video-feedback" readable and shuts the session's tunnels down, so that every blocked read and
// write on them returns at once.
class SessionControl {
public:
    // An active session whose stops wake `driver` (may be null).
    static net::IoResult<std::shared_ptr<SessionControl>> create(std::shared_ptr<Waker> driver);

    bool active() const noexcept { return active_.load(std::memory_order_acquire); }
    void stop() noexcept;

    // Adds a tunnel to shut down on stop (at once if the session is stopped already). The session
    // keeps a duplicate of the descriptor, so the tunnel's owner may close its own at any time.
    net::IoResult<void> add_tunnel(int fd);

    // Readable from the first stop on; "video-feedback" waits on it beside its socket.
    int wakeup_fd() const noexcept { return wakeup_.get(); }

    SessionControl(std::shared_ptr<Waker> driver, net::Fd wakeup)
        : driver_(std::move(driver)), wakeup_(std::move(wakeup)) {}

private:
    std::atomic<bool> active_{true};
    std::shared_ptr<Waker> driver_;
    net::Fd wakeup_;  // an eventfd
    std::mutex tunnels_lock_;
    std::vector<net::Fd> tunnels_;
};

}  // namespace vantrel::forwarder
