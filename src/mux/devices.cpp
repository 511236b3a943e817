#include "mux/devices.h"

#include "mux/plist_integer.h"

namespace vantrel::mux {
namespace {

constexpr std::uint32_t LIST_DEVICES_TAG = 1;

plist_t dict_item(plist_t dict, const char* key, plist_type type) {
    plist_t item = plist_dict_get_item(dict, key);
    return item != nullptr && plist_get_node_type(item) == type ? item : nullptr;
}

std::optional<DeviceInfo> device_from_entry(plist_t entry) {
    if (plist_get_node_type(entry) != PLIST_DICT) return std::nullopt;
    plist_t properties = dict_item(entry, "Properties", PLIST_DICT);
    if (properties == nullptr) return std::nullopt;
    auto id = integer_value(plist_dict_get_item(properties, "DeviceID"));
    if (!id) return std::nullopt;
    plist_t serial = dict_item(properties, "SerialNumber", PLIST_STRING);
    if (serial == nullptr) return std::nullopt;

    DeviceInfo device;
    // A negative identifier cannot be a device's: it becomes 0; larger ones keep their low 32 bits.
    device.device_id = id->negative ? 0 : static_cast<std::uint32_t>(id->bits);
    std::uint64_t serial_len = 0;
    const char* serial_text = plist_get_string_ptr(serial, &serial_len);
    if (serial_text != nullptr) device.serial_number.assign(serial_text, serial_len);
    if (plist_t type = dict_item(properties, "ConnectionType", PLIST_STRING)) {
        std::uint64_t type_len = 0;
        if (const char* text = plist_get_string_ptr(type, &type_len))
            device.connection_type.emplace(text, type_len);
    }
    return device;
}

}  // namespace

std::vector<DeviceInfo> devices_from_response(plist_t response) {
    std::vector<DeviceInfo> devices;
    if (response == nullptr || plist_get_node_type(response) != PLIST_DICT) return devices;
    plist_t list = dict_item(response, "DeviceList", PLIST_ARRAY);
    if (list == nullptr) return devices;
    std::uint32_t count = plist_array_get_size(list);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (auto device = device_from_entry(plist_array_get_item(list, i)))
            devices.push_back(std::move(*device));
    }
    return devices;
}

MuxResult<std::vector<DeviceInfo>> list_devices(const DaemonAddress& address) {
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
    return devices_from_response(response->get());
}

}  // namespace vantrel::mux
