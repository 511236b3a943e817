// The driver loop: search for a device, run sessions, reconnect, and end on Ctrl+C.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "forwarder/session_control.h"
#include "main/session.h"

namespace vantrel::app {

// True until Ctrl+C; whoever clears it notifies the driver's waker afterwards.
using RunFlag = std::shared_ptr<std::atomic<bool>>;

// Runs until `running` is cleared; returns after the goodbye line. `waker` is the driver's: it is
// notified when `running` is cleared and when a session stops.
void run_driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker,
                const SessionAddresses& addresses = {});

}  // namespace vantrel::app
