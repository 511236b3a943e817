// The app on the far end of each tunnel, as the Vantrel app behaves: it takes what happened on the
// tunnels (tunnels.h) and reports it, answers the health-check request (at once, late, in two parts,
// trickling or never), counts feedback, echoes, starts the port's autostream once the health check is
// done, and misbehaves on demand (faults). It calls the tunnels; they never call it.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/command.h"
#include "sim/devices.h"
#include "sim/output.h"
#include "sim/timers.h"
#include "sim/tunnels.h"

namespace vantrel::sim {

class App {
public:
    App(Output& output, Devices& devices, Tunnels& tunnels, bool feedback_events)
        : output_(output), devices_(devices), tunnels_(tunnels), feedback_events_(feedback_events) {}

    // Handles what happened on the tunnels until nothing more has: whoever acted on the tunnels calls
    // this before it reports, so that the event lines come in the order of what happened.
    void settle();
    // Stops the stream and breaks the tunnel as `kind` says; bytes already queued go out first.
    void apply_fault(TunnelId id, std::uint32_t device, std::uint16_t port, FaultKind kind);
    void set_feedback_events(bool on) { feedback_events_ = on; }
    // The app's own timed steps (late and trickling answers, the grace of a close).
    void run_due(std::uint64_t now) { timers_.run_due(now); }
    std::optional<std::uint64_t> next_due_ns() const { return timers_.next_ns(); }

private:
    void handle(TunnelEvent& e);
    void on_frame(const TunnelEvent& e, PortState& ps);
    void answer_health(const TunnelEvent& e, const PortState& ps);
    void trickle(TunnelId id, std::uint32_t device, std::uint16_t port, std::uint64_t left,
                 std::uint64_t interval_ns);
    void start_autostream(TunnelId id, std::uint32_t device, std::uint16_t port);

    Output& output_;
    Devices& devices_;
    Tunnels& tunnels_;
    bool feedback_events_;
    Timers timers_;
};

}  // namespace vantrel::sim
