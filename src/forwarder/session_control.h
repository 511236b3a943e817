// How a session is stopped: once, for whatever reason, waking everyone who waits on it at once.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

// The stop of one session, shared by the driver and the session's threads. The first stop(), from
// whichever side (Ctrl+C through the driver, a forwarding thread whose stream failed, a setup
// attempt that failed part-way), clears `active`, makes the wake-up descriptor readable (the driver
// and "video-feedback" wait on it) and shuts the session's tunnels down, so that every blocked read
// and write on them returns at once.
class SessionControl {
public:
    // `wakeup` is an eventfd (see make_wakeup).
    explicit SessionControl(net::Fd wakeup) : wakeup_(std::move(wakeup)) {}
    SessionControl(const SessionControl&) = delete;
    SessionControl& operator=(const SessionControl&) = delete;

    // The descriptor a session's stop makes readable.
    static net::IoResult<net::Fd> make_wakeup();

    bool active() const noexcept { return active_.load(std::memory_order_acquire); }
    void stop() noexcept;

    // Adds a tunnel to shut down on stop (at once if the session is stopped already). The session
    // keeps a duplicate of the descriptor, so the tunnel's owner may close its own at any time.
    net::IoResult<void> add_tunnel(int fd);

    // Readable from the first stop on, for as long as the session lasts.
    int wakeup_fd() const noexcept { return wakeup_.get(); }

private:
    std::atomic<bool> active_{true};
    net::Fd wakeup_;  // an eventfd, never read back
    std::mutex tunnels_lock_;
    std::vector<net::Fd> tunnels_;
};

}  // namespace vantrel::forwarder
