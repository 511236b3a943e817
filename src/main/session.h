// One session: the three forwarding threads of a device, their stop, and what they share with the driver.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "forwarder/session_control.h"
#include "forwarder/threads.h"
#include "mux/client.h"
#include "net/io_error.h"

namespace vantrel::app {

inline constexpr std::string_view VIDEO_DESTINATION = "127.0.0.1:5000";
inline constexpr std::string_view TRACKING_DESTINATION = "127.0.0.1:4242";

// Where a session finds the daemon and sends its datagrams (numeric addresses, IPv6 in brackets).
struct SessionAddresses {
    mux::DaemonAddress daemon{};
    std::string video_destination{VIDEO_DESTINATION};
    std::string tracking_destination{TRACKING_DESTINATION};
};

inline constexpr std::uint16_t VIDEO_PORT = 5000;
inline constexpr std::uint16_t TRACKING_PORT = 4242;

// The session owns its threads, its stop and its counters. Stopping it wakes every thread at once;
// ending it (or destroying it) stops it and joins the threads in start order.
class Session {
public:
    Session(Session&&) noexcept = default;
    // Ends this session before it takes the other's place.
    Session& operator=(Session&& other) noexcept;
    ~Session() { end(); }

    bool active() const { return shared_->control.active(); }
    void stop() { shared_->control.stop(); }
    void stop(forwarder::SessionEnd end) { shared_->control.stop(std::move(end)); }
    // Why the session ended, as the first to stop it knew it; nullopt while it runs.
    std::optional<forwarder::SessionEnd> ending() const { return shared_->control.end(); }
    // Readable once the session has stopped, whoever stopped it.
    int wakeup_fd() const { return shared_->control.wakeup_fd(); }
    // Stops the session and joins its threads; a join that fails at the OS level is a fatal stop.
    void end();

    const forwarder::ForwardStats& video_stats() const { return shared_->video_stats; }
    const forwarder::ForwardStats& tracking_stats() const { return shared_->tracking_stats; }

private:
    friend class SessionBuilder;

    // What the threads share with the driver, in one place that does not move with the session.
    struct Shared {
        explicit Shared(net::Fd wakeup) : control(std::move(wakeup)) {}
        forwarder::SessionControl control;
        forwarder::ForwardStats video_stats;
        forwarder::ForwardStats tracking_stats;
    };

    explicit Session(net::Fd wakeup) : shared_(std::make_unique<Shared>(std::move(wakeup))) {}

    std::unique_ptr<Shared> shared_;
    std::vector<std::thread> threads_;  // "video-feedback", "video-fwd", "tracking-fwd", in start order
};

// A connect to a device port failed: the app does not accept connections (yet).
struct AppNotAccepting {};
// Why a setup attempt gave no session: the app refused, or something else failed (its text is shown).
using SetupFailure = std::variant<AppNotAccepting, net::IoError>;

// Connects both device ports, prepares both paths and starts the three threads. A failed attempt
// stops and joins the threads it started before it returns, so nothing of it outlives it.
std::expected<Session, SetupFailure> start_session(std::uint32_t device_id,
                                                   const SessionAddresses& addresses = {});

}  // namespace vantrel::app
