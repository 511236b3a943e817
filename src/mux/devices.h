// Device discovery: the "ListDevices" request.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mux/client.h"

namespace vantrel::mux {

struct DeviceInfo {
    std::uint32_t device_id = 0;
    std::string serial_number;
    std::optional<std::string> connection_type{};  // "USB", "Network", ...; unset when the entry has none

    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// Asks the daemon, over a fresh connection, for the attached devices, in its order.
MuxResult<std::vector<DeviceInfo>> list_devices(const DaemonAddress& address = {});

// The device records of a response dictionary, with every skip rule applied.
std::vector<DeviceInfo> devices_from_response(plist_t response);

}  // namespace vantrel::mux
