// The app on the far end of each tunnel, as the Vantrel app behaves: it answers the health-check request
// (at once, late, in two parts or never), counts and reports feedback, echoes, starts the port's
// autostream once the health check is done, and misbehaves on demand (faults).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "sim/command.h"
#include "sim/event_loop.h"
#include "sim/output.h"
#include "sim/tunnels.h"

namespace vantrel::sim {

class App final : public TunnelHandler {
public:
    App(EventLoop& loop, Output& output, Tunnels& tunnels, bool feedback_events)
        : loop_(loop), output_(output), tunnels_(tunnels), feedback_events_(feedback_events) {}

    void on_frame(Tunnel& t, std::span<const std::uint8_t> payload) override;
    void on_stream_done(Tunnel& t, std::optional<FaultKind> then) override;
    // Stops the stream and breaks the tunnel as `kind` says; bytes already queued go out first.
    void apply_fault(Tunnel& t, FaultKind kind);
    void set_feedback_events(bool on) { feedback_events_ = on; }
    // What the unplug fault asks of the owner of the devices (later: the caller may hold references).
    std::function<void(std::uint32_t device)> unplug;

private:
    void answer_health(Tunnel& t);
    void start_autostream(Tunnel& t);

    EventLoop& loop_;
    Output& output_;
    Tunnels& tunnels_;
    bool feedback_events_;
};

}  // namespace vantrel::sim
