#include "sim/devices.h"

namespace vantrel::sim {

std::uint32_t Devices::plug(std::string serial) {
    std::uint32_t id = next_id_++;
    Device& d = devices_[id];
    d.id = id;
    d.serial = std::move(serial);
    for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) d.ports[port].listening = true;
    return id;
}

Device* Devices::find(std::uint32_t id) {
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : &it->second;
}

PortState* Devices::port(std::uint32_t device, std::uint16_t port) {
    Device* d = find(device);
    if (!d) return nullptr;
    auto it = d->ports.find(port);
    return it == d->ports.end() ? nullptr : &it->second;
}

}  // namespace vantrel::sim
