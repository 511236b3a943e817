// Device discovery: the "ListDevices" request.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mux/client.h"
#include "mux/reply.h"

namespace vantrel::mux {

// One listed device, as a view into its DeviceList: valid while the list lives.
struct DeviceEntry {
    std::uint32_t device_id = 0;
    std::string_view serial_number;  // UTF-8 as the daemon sent it (binary UTF-16 strings converted)
    std::optional<std::string_view>
        connection_type;  // "ConnectionType" of the entry's Properties, if a string
};

// An owned copy of an entry.
struct DeviceInfo {
    std::uint32_t device_id = 0;
    std::string serial_number{};
    std::optional<std::string> connection_type{};  // "USB", "Network", ...; unset when the entry has none

    static DeviceInfo of(const DeviceEntry& entry);
    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// The devices of a "ListDevices" reply, read one entry at a time. Visiting every entry costs time
// linear in the reply's size and copies nothing: an entry (or a serial number) that the reply
// shares among many references is read once, and the same serial object always yields the same
// `serial_number.data()`. Not for use by two threads at once.
class DeviceList {
public:
    explicit DeviceList(Reply reply);

    // Calls `visit` for each entry that passes the skip rules, in the daemon's order, until it
    // returns false.
    void visit(const std::function<bool(const DeviceEntry&)>& visit) const;

private:
    // What a listed entry yields. Remembered per Properties dictionary (entries may share one) and,
    // through its index, per entry; entries that are skipped are remembered as a bit.
    struct Listed {
        std::string_view serial;
        const char* connection_type = nullptr;  // nullptr: none
        std::uint32_t connection_type_size = 0;
        std::uint32_t device_id = 0;
    };
    static constexpr std::uint32_t SKIPPED = 0xFFFF'FFFF;
    std::uint32_t listed_index(PlistValue entry) const;
    std::optional<Listed> read_properties(PlistValue properties) const;

    Reply reply_;
    mutable std::vector<Listed> listed_;
    mutable std::unordered_map<std::uint32_t, std::uint32_t> by_entry_;  // entry -> index in listed_
    mutable std::unordered_map<std::uint32_t, std::uint32_t>
        by_properties_;                  // Properties -> index or SKIPPED
    mutable std::vector<bool> skipped_;  // per entry
};

// Asks the daemon, over a fresh connection, for the attached devices, in its order.
MuxResult<DeviceList> list_devices(const DaemonAddress& address = {});

// Owned copies of every entry, for tests and tools whose daemon is trusted: a hostile reply can
// repeat one large serial number many times over.
std::vector<DeviceInfo> device_infos(const DeviceList& list);

}  // namespace vantrel::mux
