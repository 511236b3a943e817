// The simulated devices and the settings and counters of their ports.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/command.h"

namespace vantrel::sim {

// What a port's current tunnel (or its last one) has done.
struct PortStats {
    std::uint64_t sent = 0, bytes = 0, feedback = 0, feedback_bytes = 0, health = 0;
};

// A device port: what the commands set on it lasts across tunnels.
struct PortState {
    bool listening = false;
    std::uint64_t refuse_until_ns = 0;
    HealthMode health = HealthMode::Answer;
    std::uint64_t late_ms = 0;  // late: the delay of the answer; split: of its second half; trickle: per byte
    std::uint32_t trickle_length = DEFAULT_TRICKLE_LENGTH;
    std::vector<std::uint8_t> health_reply{0xFE, 0x00, 0x01};
    bool raw = false;
    bool echo = false;
    std::optional<StreamSettings> autostream;
    std::uint64_t tunnel = 0;  // id of the current tunnel, 0 when none
    PortStats stats;           // of the current tunnel, or of the last one
};

struct Device {
    std::uint32_t id = 0;
    std::string serial;
    ConnectionType connection = ConnectionType::Usb;
    std::map<std::uint16_t, PortState> ports;
};

// Devices by id; ids count up from 1 and are never reused, like the real daemon's.
class Devices {
public:
    // Plugs a device whose ports 5000 and 4242 listen; returns its id.
    std::uint32_t plug(std::string serial, ConnectionType connection = ConnectionType::Usb) {
        Device& d = devices_[next_id_];
        d.id = next_id_;
        d.serial = std::move(serial);
        d.connection = connection;
        for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) d.ports[port].listening = true;
        return next_id_++;
    }
    void erase(std::uint32_t id) { devices_.erase(id); }
    Device* find(std::uint32_t id) {
        auto it = devices_.find(id);
        return it == devices_.end() ? nullptr : &it->second;
    }
    // A port the device has state for; nullptr when the device or the port has none.
    PortState* port(std::uint32_t device, std::uint16_t port) {
        Device* d = find(device);
        if (!d) return nullptr;
        auto it = d->ports.find(port);
        return it == d->ports.end() ? nullptr : &it->second;
    }
    const std::map<std::uint32_t, Device>& all() const { return devices_; }

private:
    std::map<std::uint32_t, Device> devices_;
    std::uint32_t next_id_ = 1;
};

}  // namespace vantrel::sim
