// How a session is stopped: once, for whatever reason, waking everyone who waits on it at once.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

// Why a session ended, as the first to stop it knew it.
enum class EndReason {
    EndOfStream,            // the app closed a stream, or the phone went away
    BadPacketLength,        // a frame announced 0 bytes or more than its stream takes
    ReceiveError,           // any other failure of a stream
    FeedbackWriteTimedOut,  // the app took none of the waiting feedback for too long
    FeedbackWriteFailed,
    Stalled,  // neither stream delivered a packet for the stall timeout
    Stopped,  // the program's own stop (Ctrl+C), or a setup attempt given up
};
enum class StreamId { None, Video, Tracking };
struct SessionEnd {
    StreamId stream = StreamId::None;
    EndReason reason = EndReason::Stopped;
    std::string detail;
};

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
    // Stops the session; the first stop's reason is the session's.
    void stop(SessionEnd end = {}) noexcept;
    // Why the session ended; nullopt while it runs.
    std::optional<SessionEnd> end() const;

    // Adds a tunnel to shut down on stop (at once if the session is stopped already). The session
    // keeps a duplicate of the descriptor, so the tunnel's owner may close its own at any time.
    net::IoResult<void> add_tunnel(int fd);

    // Readable from the first stop on, for as long as the session lasts.
    int wakeup_fd() const noexcept { return wakeup_.get(); }

private:
    std::atomic<bool> active_{true};
    net::Fd wakeup_;           // an eventfd, never read back
    mutable std::mutex lock_;  // the tunnels and the end
    std::vector<net::Fd> tunnels_;
    SessionEnd end_;
};

}  // namespace vantrel::forwarder
