// The driver loop: search for a device, run sessions, reconnect, and end on Ctrl+C.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "forwarder/session_control.h"
#include "main/session.h"

namespace vantrel::app {

// True until Ctrl+C; whoever clears it notifies the driver's waker afterwards.
using RunFlag = std::shared_ptr<std::atomic<bool>>;

// What the command line changes in the driver; the defaults are the bridge run without arguments.
struct DriverOptions {
    std::optional<std::string> udid;  // bridge only the device with this serial number
    bool plain = false;               // no transient lines; state lines and status as permanent lines
    std::chrono::seconds status_interval{10};  // plain status line period; zero: never
};

// Runs until `running` is cleared; returns after the goodbye line. `waker` is the driver's: it is
// notified when `running` is cleared and when a session stops.
void run_driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker,
                const SessionAddresses& addresses = {}, const DriverOptions& options = {});

}  // namespace vantrel::app
