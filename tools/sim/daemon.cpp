// The daemon side: usbmuxd's protocol (a 16-byte little-endian header, then a property list), served on a
// Unix socket and/or a TCP address, answering "ListDevices" and "Connect" the way the real daemon does.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <plist/plist.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "net/plist.h"
#include "net/wire.h"
#include "sim/simulator.h"
#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {

constexpr std::size_t HEADER_SIZE = 16;
// Like the real daemon: a message announcing more than this is not read, and its client is dropped.
constexpr std::uint32_t MAX_MESSAGE = 65536;
constexpr std::uint32_t VERSION_PLIST = 1;
constexpr std::uint32_t TYPE_RESULT = 1;
constexpr std::uint32_t TYPE_PLIST = 8;
constexpr std::uint64_t RESULT_BADCOMMAND = 1;
constexpr std::uint64_t RESULT_BADDEV = 2;
constexpr std::uint64_t RESULT_CONNREFUSED = 3;
constexpr std::uint64_t RESULT_BADVERSION = 6;
constexpr std::string_view GARBAGE = "this is not a property list";

// Properties of a simulated device: an iPhone on a USB 2.0 port.
constexpr std::uint64_t CONNECTION_SPEED = 480'000'000;
constexpr std::uint64_t PRODUCT_ID = 0x12A8;
constexpr std::uint64_t LOCATION_BASE = 0x01100000;

void put_header(OutBuffer& out, std::uint32_t length, std::uint32_t version, std::uint32_t type,
                std::uint32_t tag) {
    std::uint8_t* p = out.grow(HEADER_SIZE);
    net::store_le32(p, length);
    net::store_le32(p + 4, version);
    net::store_le32(p + 8, type);
    net::store_le32(p + 12, tag);
}

std::optional<std::string> string_value(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    // By pointer and length: plist_get_string_val asserts on a string with a NUL inside.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, length) : std::string();
}

std::optional<std::uint64_t> uint_value(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    std::uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

std::string os_error_text() {
    return net::IoError::last_os_error().text();
}

// Arrays nested `depth` deep as a binary property list ("bplist00", 4-byte object refs and offsets):
// object k is an array holding object k + 1, the last one is empty. Written in one pass: libplist
// recurses per level and would overflow the stack at such depths.
std::vector<std::uint8_t> nested_binary_plist(std::uint32_t depth) {
    constexpr std::size_t MAGIC = 8, TRAILER = 32;
    const std::size_t table = MAGIC + 5 * (std::size_t{depth} - 1) + 1;
    std::vector<std::uint8_t> out(table + 4 * std::size_t{depth} + TRAILER, 0);
    std::memcpy(out.data(), "bplist00", MAGIC);
    std::size_t pos = MAGIC;
    for (std::uint32_t k = 0; k < depth; ++k) {
        net::store_be32(out.data() + table + 4 * std::size_t{k}, static_cast<std::uint32_t>(pos));
        bool last = k + 1 == depth;
        out[pos] = last ? 0xA0 : 0xA1;  // an array of 0 or 1 elements
        if (!last) net::store_be32(out.data() + pos + 1, k + 1);
        pos += last ? 1 : 5;
    }
    // Trailer: 6 unused bytes, offset size, ref size, then object count, top object and table offset
    // as 64-bit big-endian numbers (their high halves stay zero).
    std::uint8_t* trailer = out.data() + table + 4 * std::size_t{depth};
    trailer[6] = 4;
    trailer[7] = 4;
    net::store_be32(trailer + 12, depth);
    net::store_be32(trailer + 28, static_cast<std::uint32_t>(table));
    return out;
}

// The same nesting as an XML property list.
std::vector<std::uint8_t> nested_xml_plist(std::uint32_t depth) {
    constexpr std::string_view HEAD =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
    constexpr std::string_view OPEN = "<array>", CLOSE = "</array>", TAIL = "\n</plist>\n";
    std::string text;
    text.reserve(HEAD.size() + depth * (OPEN.size() + CLOSE.size()) + TAIL.size());
    text += HEAD;
    for (std::uint32_t k = 0; k < depth; ++k) text += OPEN;
    for (std::uint32_t k = 0; k < depth; ++k) text += CLOSE;
    text += TAIL;
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Client text for an event line: bytes outside printable ASCII, and the backslash, as \xNN.
std::string printable(std::string_view text) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(ch);
        } else {
            out += "\\x";
            out.push_back(DIGITS[c >> 4]);
            out.push_back(DIGITS[c & 15]);
        }
    }
    return out;
}

}  // namespace

std::expected<void, std::string> Simulator::listen_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return std::unexpected(format("cannot listen on {}: path too long", path));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return std::unexpected(format("cannot listen on {}: not a socket", path));
        net::Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0)
            return std::unexpected(format("cannot listen on {}: another daemon answers there", path));
        ::unlink(path.c_str());  // stale: left behind by a daemon that is gone
    }
    net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0)
        return std::unexpected(format("cannot listen on {}: {}", path, os_error_text()));
    bound_unix_path_ = path;
    ::chmod(path.c_str(), 0666);  // as usbmuxd: any user may connect
    if (::listen(fd.get(), 128) != 0)
        return std::unexpected(format("cannot listen on {}: {}", path, os_error_text()));
    loop_.watch(fd.get(), ID_UNIX);
    unix_listener_ = std::move(fd);
    return {};
}

std::expected<void, std::string> Simulator::listen_tcp(const std::string& address) {
    auto addr = net::parse_ipv4(address);
    if (!addr) return std::unexpected(format("cannot listen on {}: not an address a.b.c.d:port", address));
    net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 ||
        ::listen(fd.get(), 128) != 0)
        return std::unexpected(format("cannot listen on {}: {}", address, os_error_text()));
    loop_.watch(fd.get(), ID_TCP);
    tcp_listener_ = std::move(fd);
    return {};
}

void Simulator::accept_clients(int listen_fd, bool tcp) {
    for (;;) {
        net::Fd fd(::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != ECONNABORTED)
                event(format("client-error accept: {}", os_error_text()));
            return;
        }
        if (tcp) {
            int one = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto c = std::make_unique<Conn>();
        c->id = next_conn_id_++;
        c->tcp = tcp;
        loop_.watch(fd.get(), c->id);
        c->fd = std::move(fd);
        conns_.emplace(c->id, std::move(c));
    }
}

void Simulator::on_daemon_readable(Conn& c) {
    std::uint8_t buf[16384];
    bool ended = false;
    std::optional<net::IoError> failure;
    for (;;) {
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.insert(c.in.end(), buf, buf + n);
            if (c.in.size() > 2 * MAX_MESSAGE) break;  // more than a request's worth: handle it first
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        ended = true;
        if (n < 0) failure = net::IoError::last_os_error();
        break;
    }

    std::size_t pos = 0;
    while (c.in.size() - pos >= HEADER_SIZE) {
        const std::uint8_t* h = c.in.data() + pos;
        std::uint32_t length = net::load_le32(h);
        if (length < HEADER_SIZE || length > MAX_MESSAGE) {
            event(format("client-error message length {} out of range 16-65536, connection closed", length));
            close_conn(c);
            return;
        }
        if (c.in.size() - pos < length) break;
        std::uint32_t version = net::load_le32(h + 4), tag = net::load_le32(h + 12);
        std::vector<std::uint8_t> payload(h + HEADER_SIZE, h + length);
        pos += length;
        handle_request(c, version, tag, payload);
        if (c.dead) return;
        if (c.tunnel) {
            // Bytes that followed the Connect request belong to the tunnel.
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
            process_tunnel_input(c);
            if (!c.dead && ended) close_conn(c);
            return;
        }
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));

    if (!ended) return;
    if (!c.in.empty()) {
        std::size_t expected = c.in.size() >= HEADER_SIZE ? net::load_le32(c.in.data()) : HEADER_SIZE;
        event(format("client-error client left in the middle of a request (got {} of {} bytes)", c.in.size(),
                     expected));
    } else if (failure) {
        event(format("client-error {}", failure->text()));
    }
    close_conn(c);
}

void Simulator::handle_request(Conn& c, std::uint32_t version, std::uint32_t tag,
                               std::span<const std::uint8_t> payload) {
    if (version != VERSION_PLIST) {
        // The real daemon answers an unknown version with a binary result, in its version-0 framing.
        put_header(c.out, HEADER_SIZE + 4, 0, TYPE_RESULT, tag);
        net::store_le32(c.out.grow(4), static_cast<std::uint32_t>(RESULT_BADVERSION));
        event(format("client-error header version {}, answered with result 6", version));
        service(c, monotonic_ns());
        return;
    }
    if (payload.size() >= 8 && std::memcmp(payload.data(), "bplist00", 8) == 0) {
        event("client-error binary property-list request, not answered");
        return;
    }
    plist_t parsed = nullptr;
    if (!payload.empty())
        plist_from_xml(reinterpret_cast<const char*>(payload.data()),
                       static_cast<std::uint32_t>(payload.size()), &parsed);
    net::Plist root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT) {
        event(format("client-error unparsable request ({} bytes), not answered", payload.size()));
        return;
    }
    auto type = string_value(parsed, "MessageType");
    if (!type) {
        event("client-error request without MessageType, not answered");
        return;
    }
    if (*type == "ListDevices") {
        handle_list_devices(c, tag);
    } else if (*type == "Connect") {
        handle_connect(c, tag, parsed);
    } else {
        event(format("client-error unknown MessageType \"{}\", answered with result 1", printable(*type)));
        send_result(c, tag, RESULT_BADCOMMAND);
    }
}

void Simulator::handle_list_devices(Conn& c, std::uint32_t tag) {
    event("list-devices");
    switch (list_reply_) {
        case ListReply::Normal:
        case ListReply::Binary:
        case ListReply::Partial: {
            net::Plist root(plist_new_dict());
            plist_t list = plist_new_array();
            for (const auto& [id, d] : devices_) {
                plist_t props = plist_new_dict();
                plist_dict_set_item(props, "ConnectionSpeed", plist_new_uint(CONNECTION_SPEED));
                plist_dict_set_item(props, "ConnectionType", plist_new_string("USB"));
                plist_dict_set_item(props, "DeviceID", plist_new_uint(id));
                plist_dict_set_item(props, "LocationID", plist_new_uint(LOCATION_BASE + id));
                plist_dict_set_item(props, "ProductID", plist_new_uint(PRODUCT_ID));
                plist_dict_set_item(props, "SerialNumber", plist_new_string(d.serial.c_str()));
                plist_t entry = plist_new_dict();
                plist_dict_set_item(entry, "DeviceID", plist_new_uint(id));
                plist_dict_set_item(entry, "MessageType", plist_new_string("Attached"));
                plist_dict_set_item(entry, "Properties", props);
                plist_array_append_item(list, entry);
            }
            plist_dict_set_item(root.get(), "DeviceList", list);
            send_plist(c, tag, root.get(), list_reply_ == ListReply::Binary,
                       list_reply_ == ListReply::Partial);
            return;
        }
        case ListReply::Garbage:
            send_payload(c, tag,
                         std::span(reinterpret_cast<const std::uint8_t*>(GARBAGE.data()), GARBAGE.size()));
            return;
        case ListReply::NestedBinary: send_payload(c, tag, nested_binary_plist(list_length_)); return;
        case ListReply::NestedXml: send_payload(c, tag, nested_xml_plist(list_length_)); return;
        case ListReply::BadLength:
            put_header(c.out, list_length_, VERSION_PLIST, TYPE_PLIST, tag);
            service(c, monotonic_ns());
            return;
        case ListReply::Silent: return;
        case ListReply::Close: close_conn(c); return;
    }
}

void Simulator::handle_connect(Conn& c, std::uint32_t tag, void* request) {
    auto id = uint_value(static_cast<plist_t>(request), "DeviceID");
    auto port_number = uint_value(static_cast<plist_t>(request), "PortNumber");
    if (!id || !port_number) {
        event("client-error Connect without DeviceID or PortNumber, answered with result 1");
        answer_connect(c, tag, RESULT_BADCOMMAND);
        return;
    }
    // The port travels in network byte order read as a little-endian number.
    auto swapped = static_cast<std::uint16_t>(*port_number);
    auto port = static_cast<std::uint16_t>((swapped >> 8) | (swapped << 8));
    Device* d = *id <= UINT32_MAX ? find_device(static_cast<std::uint32_t>(*id)) : nullptr;
    if (!d) {
        event(format("unknown-device {} {}", *id, port));
        answer_connect(c, tag, RESULT_BADDEV);
        return;
    }
    PortState* ps = find_port(d->id, port);
    if (!ps || !ps->listening || monotonic_ns() < ps->refuse_until_ns) {
        event(format("refused {} {}", d->id, port));
        answer_connect(c, tag, RESULT_CONNREFUSED);
        return;
    }
    if (answer_connect(c, tag, 0) && !c.dead) become_tunnel(c, *d, port);
}

bool Simulator::answer_connect(Conn& c, std::uint32_t tag, std::uint64_t number) {
    switch (connect_reply_) {
        case ConnectReply::Silent: return false;  // a wedged daemon: the client waits for ever
        case ConnectReply::Partial: send_result(c, tag, number, true); return false;
        case ConnectReply::Normal: break;
    }
    send_result(c, tag, number);
    return true;
}

void Simulator::send_result(Conn& c, std::uint32_t tag, std::uint64_t number, bool partial) {
    net::Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(root.get(), "Number", plist_new_uint(number));
    send_plist(c, tag, root.get(), false, partial);
}

// With `partial`, the header still announces the whole payload but only its first half follows.
void Simulator::send_plist(Conn& c, std::uint32_t tag, void* plist, bool binary, bool partial) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (binary)
        plist_to_bin(static_cast<plist_t>(plist), &data, &size);
    else
        plist_to_xml(static_cast<plist_t>(plist), &data, &size);
    send_payload(c, tag, std::span(reinterpret_cast<const std::uint8_t*>(data), size), partial);
    if (binary)
        plist_to_bin_free(data);
    else
        plist_to_xml_free(data);
}

void Simulator::send_payload(Conn& c, std::uint32_t tag, std::span<const std::uint8_t> payload,
                             bool partial) {
    put_header(c.out, static_cast<std::uint32_t>(HEADER_SIZE + payload.size()), VERSION_PLIST, TYPE_PLIST,
               tag);
    c.out.append(partial ? payload.first(payload.size() / 2) : payload);
    service(c, monotonic_ns());
}

}  // namespace vantrel::sim
