// The payloads of the daemon side's replies: the device list as the real daemon writes it (XML) or as
// a binary property list, the result of a request, and the hostile shapes that tests point at the
// bridge's reader (deep nesting, shared references, long lists of unusable entries).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/command.h"
#include "sim/devices.h"

namespace vantrel::sim {

// The payload of the ListDevices reply for the modes that have one (not garbage, badlength, silent,
// close); `partial` has the normal payload (the daemon sends half of it).
std::vector<std::uint8_t> list_payload(const ReplyShape<ListReply>& shape,
                                       const std::map<std::uint32_t, Device>& devices);

// The payload of a result ("MessageType" "Result" and "Number"), in XML; with `shared-side` a binary
// list whose side array holds references to one shared string.
std::vector<std::uint8_t> result_payload(std::uint64_t number, const ReplyShape<ConnectReply>& shape);

}  // namespace vantrel::sim
