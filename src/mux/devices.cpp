#include "mux/devices.h"

namespace vantrel::mux {
namespace {

constexpr std::uint32_t LIST_DEVICES_TAG = 1;

}  // namespace

DeviceInfo DeviceInfo::of(const DeviceEntry& entry) {
    DeviceInfo info{entry.device_id, std::string(entry.serial_number), std::nullopt};
    if (entry.connection_type) info.connection_type.emplace(*entry.connection_type);
    return info;
}

DeviceList::DeviceList(Reply reply) : reply_(std::move(reply)) {}

DeviceList::Resolved DeviceList::resolve(PlistValue entry) const {
    Resolved resolved;
    const auto properties = reply_.find(entry, "Properties");
    if (!properties || properties->kind != ValueKind::Dictionary) return resolved;
    const auto id_value = reply_.find(*properties, "DeviceID");
    const auto id = id_value ? reply_.integer(*id_value) : std::nullopt;
    if (!id) return resolved;
    const auto serial_value = reply_.find(*properties, "SerialNumber");
    const auto serial = serial_value ? reply_.string(*serial_value) : std::nullopt;
    if (!serial) return resolved;
    // A negative identifier cannot be a device's: it becomes 0; larger ones keep their low 32 bits.
    resolved.device_id = id->negative ? 0 : static_cast<std::uint32_t>(id->bits);
    resolved.serial = serial->data();
    resolved.serial_size = static_cast<std::uint32_t>(serial->size());
    const auto type_value = reply_.find(*properties, "ConnectionType");
    if (const auto type = type_value ? reply_.string(*type_value) : std::nullopt) {
        resolved.connection_type = type->data();
        resolved.connection_type_size = static_cast<std::uint32_t>(type->size());
    }
    resolved.listed = true;
    return resolved;
}

void DeviceList::visit(const std::function<bool(const DeviceEntry&)>& visit) const {
    const auto list = reply_.find(reply_.root(), "DeviceList");
    if (!list) return;
    reply_.for_each_item(*list, [&](PlistValue entry) {
        if (entry.kind != ValueKind::Dictionary) return true;
        auto [slot, added] = resolved_.try_emplace(entry.id);
        if (added) slot->second = resolve(entry);
        const Resolved& r = slot->second;
        if (!r.listed) return true;
        DeviceEntry device{r.device_id, {r.serial, r.serial_size}, std::nullopt};
        if (r.connection_type != nullptr)
            device.connection_type.emplace(r.connection_type, r.connection_type_size);
        return visit(device);
    });
}

MuxResult<DeviceList> list_devices(const DaemonAddress& address) {
    auto client = MuxClient::connect(address);
    if (!client) return std::unexpected(client.error());
    const Request request{
        {"MessageType", std::string("ListDevices")},
        {"ClientVersionString", std::string(CLIENT_NAME)},
        {"ProgName", std::string(CLIENT_NAME)},
    };
    if (auto sent = client->send_request(request, LIST_DEVICES_TAG); !sent)
        return std::unexpected(sent.error());
    auto response = client->read_response();
    if (!response) return std::unexpected(response.error());
    return DeviceList(std::move(*response));
}

std::vector<DeviceInfo> device_infos(const DeviceList& list) {
    std::vector<DeviceInfo> devices;
    list.visit([&](const DeviceEntry& entry) {
        devices.push_back(DeviceInfo::of(entry));
        return true;
    });
    return devices;
}

}  // namespace vantrel::mux
