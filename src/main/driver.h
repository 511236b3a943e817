// The driver loop: search for a device, run sessions, reconnect, and end on Ctrl+C.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "console/console.h"
#include "main/session.h"
#include "main/stop_signals.h"

namespace vantrel::app {

// What the command line changes in the driver; the defaults are the bridge run without arguments.
struct DriverOptions {
    std::optional<std::string> udid;  // bridge only the device with this serial number
    bool plain = false;               // no transient lines; state lines and status as permanent lines
    std::chrono::seconds status_interval{10};  // plain status line period; zero: never
};

// Runs until a stop signal arrives; returns after the goodbye line.
void run_driver(console::Console& console, StopSignals& stop, const SessionAddresses& addresses = {},
                const DriverOptions& options = {});

}  // namespace vantrel::app
