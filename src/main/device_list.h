// --list: the attached devices, one line (or JSON object) each, for people and scripts choosing --udid.
#pragma once

#include "console/console.h"
#include "mux/client.h"

namespace vantrel::app {

// Asks the daemon once and prints each device entry that passes the skip rules, in the daemon's order:
// the whole serial number and the connection type ("00008030-001A2B3C4D5E6F70 (USB)"), or with `json`
// {"serial": ..., "device_id": ..., "connection": ...}. Returns the exit status: 0, or 1 after a daemon
// error, which goes to standard error.
int print_device_list(console::Console& console, const mux::DaemonAddress& daemon, bool json);

}  // namespace vantrel::app
