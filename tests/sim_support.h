// Helpers for the tests that drive vantrel-sim: its driver (support/sim.h), the socket helpers
// (support/sockets.h), and a bare usbmuxd client that shows the daemon side's replies byte for byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/fd.h"
#include "net/plist.h"
#include "net/wire.h"
#include "support/process.h"
#include "support/sim.h"
#include "support/sockets.h"

namespace vantrel::test {

inline Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes header(std::uint32_t length, std::uint32_t version, std::uint32_t type, std::uint32_t tag) {
    Bytes h(16);
    for (std::size_t i = 0; std::uint32_t v : {length, version, type, tag})
        net::store_le32(h.data() + 4 * i++, v);
    return h;
}

inline Bytes message(std::uint32_t tag, const Bytes& payload, std::uint32_t version = 1) {
    Bytes m = header(static_cast<std::uint32_t>(16 + payload.size()), version, 8, tag);
    // Resized, then copied: g++ 12 at -O3 takes an insert behind the 16 header bytes for an overflow.
    m.resize(16 + payload.size());
    std::ranges::copy(payload, m.begin() + 16);
    return m;
}

using net::Plist;

// A request as libusbmuxd writes it: an XML dictionary of strings and integers.
inline Bytes xml_request(std::string_view type, std::optional<std::uint64_t> device = std::nullopt,
                         std::optional<std::uint16_t> port = std::nullopt) {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string(std::string(type).c_str()));
    plist_dict_set_item(dict.get(), "ClientVersionString", plist_new_string("sim-test"));
    plist_dict_set_item(dict.get(), "ProgName", plist_new_string("sim-test"));
    if (device) plist_dict_set_item(dict.get(), "DeviceID", plist_new_uint(*device));
    if (port) plist_dict_set_item(dict.get(), "PortNumber", plist_new_uint(htons(*port)));
    char* xml = nullptr;
    std::uint32_t size = 0;
    plist_to_xml(static_cast<plist_t>(dict.get()), &xml, &size);
    Bytes out(xml, xml + size);
    plist_to_xml_free(xml);
    return out;
}

struct Reply {
    std::uint32_t length = 0, version = 0, type = 0, tag = 0;
    Bytes payload;
    Plist plist;  // the parsed payload, when it parses
};

// One reply message (header and its announced payload), or nullopt when none arrives in time.
inline std::optional<Reply> read_reply(int fd, std::chrono::milliseconds timeout = 5s) {
    Bytes h = receive_bytes(fd, 16, timeout);
    if (h.size() != 16) return std::nullopt;
    Reply r;
    r.length = net::load_le32(h.data());
    r.version = net::load_le32(h.data() + 4);
    r.type = net::load_le32(h.data() + 8);
    r.tag = net::load_le32(h.data() + 12);
    if (r.length > 16 && r.length < (1u << 20)) r.payload = receive_bytes(fd, r.length - 16, timeout);
    plist_t parsed = nullptr;
    if (!r.payload.empty())
        plist_from_memory(reinterpret_cast<const char*>(r.payload.data()),
                          static_cast<std::uint32_t>(r.payload.size()), &parsed);
    r.plist.reset(parsed);
    return r;
}

inline std::optional<std::string> plist_string(plist_t dict, const char* key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    return std::string(s, length);
}

inline std::optional<std::uint64_t> plist_uint(plist_t dict, const char* key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    std::uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return v;
}

// The "Number" of a Connect reply, or nullopt when there is no such reply.
inline std::optional<std::uint64_t> connect_result(int fd, std::uint32_t device, std::uint16_t port) {
    send_bytes(fd, message(2, xml_request("Connect", device, port)));
    auto r = read_reply(fd);
    if (!r || !r->plist) return std::nullopt;
    return plist_uint(static_cast<plist_t>(r->plist.get()), "Number");
}

// A tunnel to a device port through the simulated daemon's Unix socket; empty on failure.
inline net::Fd open_tunnel(std::uint32_t device, std::uint16_t port,
                           const std::string& path = "/var/run/usbmuxd") {
    net::Fd fd = connect_unix(path);
    if (!fd || connect_result(fd.get(), device, port) != 0u) return net::Fd();
    return fd;
}

inline const Bytes HEALTH_REQUEST_FRAME{0x00, 0x00, 0x00, 0x03, 0xFE, 0x00, 0x01};

}  // namespace vantrel::test
