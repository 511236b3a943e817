// The driver loop: search for a device, run sessions, reconnect, and end on Ctrl+C.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "console/report.h"
#include "main/session.h"
#include "main/stop_signals.h"
#include "main/systemd.h"

namespace vantrel::app {

// What the command line changes in the driver; the defaults are the bridge run without arguments.
struct DriverOptions {
    std::optional<std::string> udid;  // bridge only the device with this serial number
    // A session in which neither stream delivers a packet for this long ends; unset: never.
    std::optional<std::chrono::seconds> stall_timeout;
};

// Runs until a stop signal arrives; returns after the goodbye line.
void run_driver(console::Report& report, Systemd& systemd, StopSignals& stop,
                const SessionAddresses& addresses = {}, const DriverOptions& options = {});

// Whether a serial number is the one asked for: letter case and hyphens do not count.
bool serial_matches(std::string_view wanted, std::string_view serial);

}  // namespace vantrel::app
