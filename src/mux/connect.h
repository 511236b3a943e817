// Device tunnel connect: the "Connect" request.
#pragma once

#include <cstdint>

#include "mux/client.h"
#include "mux/reply.h"
#include "net/fd.h"

namespace vantrel::mux {

// A socket that usbmuxd has joined to a TCP port of the device.
struct DeviceStream {
    net::Fd fd;
};

MuxResult<DeviceStream> connect_device(std::uint32_t device_id, std::uint16_t port,
                                       const DaemonAddress& address = {});

// The result code of a Connect response: 0 (success) when "Number" is missing or not an integer,
// -1 when it does not fit a signed 64-bit number.
std::int64_t connect_result_code(const Reply& response);

}  // namespace vantrel::mux
