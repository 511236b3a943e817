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

std::optional<DeviceList::Listed> DeviceList::read_properties(PlistValue properties) const {
    const auto id_value = reply_.find(properties, "DeviceID");
    const auto id = id_value ? reply_.integer(*id_value) : std::nullopt;
    if (!id) return std::nullopt;
    const auto serial_value = reply_.find(properties, "SerialNumber");
    const auto serial = serial_value ? reply_.string(*serial_value) : std::nullopt;
    if (!serial) return std::nullopt;
    // A negative identifier cannot be a device's: it becomes 0; larger ones keep their low 32 bits.
    Listed listed{*serial, nullptr, 0, id->negative ? 0 : static_cast<std::uint32_t>(id->bits)};
    const auto type_value = reply_.find(properties, "ConnectionType");
    if (const auto type = type_value ? reply_.string(*type_value) : std::nullopt) {
        listed.connection_type = type->data();
        listed.connection_type_size = static_cast<std::uint32_t>(type->size());
    }
    return listed;
}

std::uint32_t DeviceList::listed_index(PlistValue entry) const {
    const auto properties = reply_.find(entry, "Properties");
    if (!properties || properties->kind != ValueKind::Dictionary) return SKIPPED;
    auto [index, added] = by_properties_.try_emplace(properties->id, SKIPPED);
    if (added) {
        if (auto listed = read_properties(*properties)) {
            index->second = static_cast<std::uint32_t>(listed_.size());
            listed_.push_back(*listed);
        }
    }
    return index->second;
}

void DeviceList::visit(const std::function<bool(const DeviceEntry&)>& visit) const {
    const auto list = reply_.find(reply_.root(), "DeviceList");
    if (!list) return;
    if (skipped_.empty()) skipped_.resize(reply_.id_bound());
    reply_.for_each_item(*list, [&](PlistValue entry) {
        if (entry.kind != ValueKind::Dictionary || skipped_[entry.id]) return true;
        auto known = by_entry_.find(entry.id);
        if (known == by_entry_.end()) {
            const std::uint32_t index = listed_index(entry);
            if (index == SKIPPED) {
                skipped_[entry.id] = true;
                return true;
            }
            known = by_entry_.emplace(entry.id, index).first;
        }
        const Listed& l = listed_[known->second];
        DeviceEntry device{l.device_id, l.serial, std::nullopt};
        if (l.connection_type != nullptr)
            device.connection_type.emplace(l.connection_type, l.connection_type_size);
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
