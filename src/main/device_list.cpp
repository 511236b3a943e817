#include "main/device_list.h"

#include <unistd.h>

#include <fmt/format.h>

#include "console/report.h"
#include "mux/devices.h"
#include "net/wire.h"

namespace vantrel::app {

int print_device_list(console::Console& console, const mux::DaemonAddress& daemon, bool json) {
    auto devices = mux::list_devices(daemon);
    if (!devices) {
        (void)net::write_whole(STDERR_FILENO, fmt::format("vantrel-usb: {}\n", devices.error().display()));
        return 1;
    }
    devices->visit([&](const mux::DeviceEntry& device) {
        const auto& connection = device.connection_type;
        if (json) {
            console.print_out(fmt::format(R"({{"serial":{},"device_id":{},"connection":{}}})",
                                          console::json_string(device.serial_number), device.device_id,
                                          connection ? console::json_string(*connection) : "null") +
                              "\n");
        } else {
            console.print_out(fmt::format("{} ({})\n", console::printable(device.serial_number),
                                          connection ? console::printable(*connection) : "unknown"));
        }
        return true;
    });
    return 0;
}

}  // namespace vantrel::app
