#include "sim/daemon.h"

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
    std::string out;
    for (char ch : text) {
        auto c = static_cast<std::uint8_t>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out.push_back(ch);
        else
            out += format("\\x{}", to_hex(std::span(&c, 1)));
    }
    return out;
}

constexpr int MAX_SEND_ROUNDS = 16;

// The whole message: header and payload; with `partial` the header still announces the whole payload
// but only its first half follows.
void put_message(OutBuffer& out, std::uint32_t tag, std::span<const std::uint8_t> payload,
                 bool partial = false) {
    put_header(out, static_cast<std::uint32_t>(HEADER_SIZE + payload.size()), VERSION_PLIST, TYPE_PLIST, tag);
    out.append(partial ? payload.first(payload.size() / 2) : payload);
}

std::vector<std::uint8_t> plist_bytes(plist_t plist, bool binary) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (binary) {
        plist_to_bin(plist, &data, &size);
        std::vector<std::uint8_t> bytes(data, data + size);
        plist_to_bin_free(data);
        return bytes;
    }
    plist_to_xml(plist, &data, &size);
    net::XmlText owner(data);
    return std::vector<std::uint8_t>(data, data + size);
}

void put_result(OutBuffer& out, std::uint32_t tag, std::uint64_t number, bool partial) {
    net::Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(root.get(), "Number", plist_new_uint(number));
    put_message(out, tag, plist_bytes(static_cast<plist_t>(root.get()), false), partial);
}

net::Plist device_list(const std::map<std::uint32_t, Device>& devices) {
    net::Plist root(plist_new_dict());
    plist_t list = plist_new_array();
    for (const auto& [id, d] : devices) {
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
    return root;
}

std::expected<net::Fd, std::string> listen_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return fail(format("cannot listen on {}: path too long", path));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail(format("cannot listen on {}: not a socket", path));
        net::Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0)
            return fail(format("cannot listen on {}: another daemon answers there", path));
        ::unlink(path.c_str());  // stale: left behind by a daemon that is gone
    }
    net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0)
        return fail(format("cannot listen on {}: {}", path, os_error_text()));
    ::chmod(path.c_str(), 0666);  // as usbmuxd: any user may connect
    if (::listen(fd.get(), 128) != 0) {
        ::unlink(path.c_str());
        return fail(format("cannot listen on {}: {}", path, os_error_text()));
    }
    return fd;
}

std::expected<net::Fd, std::string> listen_tcp(const std::string& address) {
    auto addr = net::parse_ipv4(address);
    if (!addr) return fail(format("cannot listen on {}: not an address a.b.c.d:port", address));
    net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 ||
        ::listen(fd.get(), 128) != 0)
        return fail(format("cannot listen on {}: {}", address, os_error_text()));
    return fd;
}

}  // namespace

Daemon::Daemon(EventLoop& loop, Output& output, const Devices& devices, Tunnels& tunnels)
    : loop_(loop), output_(output), devices_(devices), tunnels_(tunnels) {}

Daemon::~Daemon() {
    if (!bound_unix_path_.empty()) ::unlink(bound_unix_path_.c_str());
}

std::expected<void, std::string> Daemon::listen(const std::optional<std::string>& unix_path,
                                                const std::optional<std::string>& tcp_address) {
    if (unix_path) {
        auto fd = listen_unix(*unix_path);
        if (!fd) return std::unexpected(fd.error());
        bound_unix_path_ = *unix_path;
        unix_listener_ = std::move(*fd);
        loop_.watch(unix_listener_.get(), ID_UNIX);
    }
    if (tcp_address) {
        auto fd = listen_tcp(*tcp_address);
        if (!fd) return std::unexpected(fd.error());
        tcp_listener_ = std::move(*fd);
        loop_.watch(tcp_listener_.get(), ID_TCP);
    }
    return {};
}

bool Daemon::on_ready(std::uint64_t key, std::uint32_t events) {
    if (key == ID_UNIX || key == ID_TCP) {
        accept_clients((key == ID_UNIX ? unix_listener_ : tcp_listener_).get(), key == ID_TCP);
        return true;
    }
    auto it = clients_.find(key);
    if (it == clients_.end()) return false;
    Client& c = *it->second;
    if (!c.dead && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) on_readable(c);
    if (!c.dead && (events & EPOLLOUT)) send(c);
    if (c.dead) clients_.erase(it);
    return true;
}

void Daemon::accept_clients(int listen_fd, bool tcp) {
    for (;;) {
        net::Fd fd(::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != ECONNABORTED)
                output_.event(format("client-error accept: {}", os_error_text()));
            return;
        }
        if (tcp) {
            int one = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto c = std::make_unique<Client>();
        c->id = next_id_++;
        loop_.watch(fd.get(), c->id);
        c->fd = std::move(fd);
        clients_.emplace(c->id, std::move(c));
    }
}

void Daemon::on_readable(Client& c) {
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

    while (c.in.size() >= HEADER_SIZE) {
        const std::uint8_t* h = c.in.data();
        std::uint32_t length = net::load_le32(h);
        if (length < HEADER_SIZE || length > MAX_MESSAGE) {
            output_.event(
                format("client-error message length {} out of range 16-65536, connection closed", length));
            close(c);
            return;
        }
        if (c.in.size() < length) break;
        std::uint32_t version = net::load_le32(h + 4), tag = net::load_le32(h + 12);
        std::vector<std::uint8_t> payload(h + HEADER_SIZE, h + length);
        c.in.erase(c.in.begin(), c.in.begin() + length);
        handle_request(c, version, tag, payload);
        if (!c.dead) continue;
        // Closed, or handed to the tunnels with the bytes that followed the Connect request.
        if (Tunnel* t = tunnels_.find(c.id); t && ended) tunnels_.close(*t);
        return;
    }

    if (!ended) return;
    if (!c.in.empty()) {
        std::size_t expected = c.in.size() >= HEADER_SIZE ? net::load_le32(c.in.data()) : HEADER_SIZE;
        output_.event(format("client-error client left in the middle of a request (got {} of {} bytes)",
                             c.in.size(), expected));
    } else if (failure) {
        output_.event(format("client-error {}", failure->text()));
    }
    close(c);
}

void Daemon::handle_request(Client& c, std::uint32_t version, std::uint32_t tag,
                            std::span<const std::uint8_t> payload) {
    if (version != VERSION_PLIST) {
        // The real daemon answers an unknown version with a binary result, in its version-0 framing.
        put_header(c.out, HEADER_SIZE + 4, 0, TYPE_RESULT, tag);
        net::store_le32(c.out.grow(4), static_cast<std::uint32_t>(RESULT_BADVERSION));
        output_.event(format("client-error header version {}, answered with result 6", version));
        send(c);
        return;
    }
    if (payload.size() >= 8 && std::memcmp(payload.data(), "bplist00", 8) == 0) {
        output_.event("client-error binary property-list request, not answered");
        return;
    }
    plist_t parsed = nullptr;
    if (!payload.empty())
        plist_from_xml(reinterpret_cast<const char*>(payload.data()),
                       static_cast<std::uint32_t>(payload.size()), &parsed);
    net::Plist root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT) {
        output_.event(format("client-error unparsable request ({} bytes), not answered", payload.size()));
        return;
    }
    auto type = string_value(parsed, "MessageType");
    if (!type) {
        output_.event("client-error request without MessageType, not answered");
        return;
    }
    if (*type == "ListDevices") {
        list_devices(c, tag);
    } else if (*type == "Connect") {
        connect(c, tag, parsed);
    } else {
        output_.event(
            format("client-error unknown MessageType \"{}\", answered with result 1", printable(*type)));
        put_result(c.out, tag, RESULT_BADCOMMAND, false);
        send(c);
    }
}

void Daemon::list_devices(Client& c, std::uint32_t tag) {
    output_.event("list-devices");
    switch (list_reply_) {
        case ListReply::Normal:
        case ListReply::Binary:
        case ListReply::Partial: {
            net::Plist root = device_list(devices_.all());
            put_message(c.out, tag,
                        plist_bytes(static_cast<plist_t>(root.get()), list_reply_ == ListReply::Binary),
                        list_reply_ == ListReply::Partial);
            break;
        }
        case ListReply::Garbage:
            put_message(c.out, tag,
                        std::span(reinterpret_cast<const std::uint8_t*>(GARBAGE.data()), GARBAGE.size()));
            break;
        case ListReply::NestedBinary: put_message(c.out, tag, nested_binary_plist(list_length_)); break;
        case ListReply::NestedXml: put_message(c.out, tag, nested_xml_plist(list_length_)); break;
        case ListReply::BadLength: put_header(c.out, list_length_, VERSION_PLIST, TYPE_PLIST, tag); break;
        case ListReply::Silent: return;
        case ListReply::Close: close(c); return;
    }
    send(c);
}

void Daemon::connect(Client& c, std::uint32_t tag, void* request) {
    auto id = uint_value(static_cast<plist_t>(request), "DeviceID");
    auto port_number = uint_value(static_cast<plist_t>(request), "PortNumber");
    if (!id || !port_number) {
        output_.event("client-error Connect without DeviceID or PortNumber, answered with result 1");
        answer_connect(c, tag, RESULT_BADCOMMAND);
        return;
    }
    auto port = net::swap_port(static_cast<std::uint16_t>(*port_number));
    auto it = *id <= UINT32_MAX ? devices_.all().find(static_cast<std::uint32_t>(*id)) : devices_.all().end();
    if (it == devices_.all().end()) {
        output_.event(format("unknown-device {} {}", *id, port));
        answer_connect(c, tag, RESULT_BADDEV);
        return;
    }
    auto ps = it->second.ports.find(port);
    if (ps == it->second.ports.end() || !ps->second.listening ||
        monotonic_ns() < ps->second.refuse_until_ns) {
        output_.event(format("refused {} {}", it->first, port));
        answer_connect(c, tag, RESULT_CONNREFUSED);
        return;
    }
    if (!answer_connect(c, tag, 0) || c.dead) return;
    c.dead = true;
    loop_.modify(c.fd.get(), c.id, EPOLLIN);
    tunnels_.adopt(c.id, std::move(c.fd), std::move(c.out), std::move(c.in), it->first, port);
}

// False when the reply is not whole (connect-reply silent or partial): then no tunnel is made.
bool Daemon::answer_connect(Client& c, std::uint32_t tag, std::uint64_t number) {
    if (connect_reply_ == ConnectReply::Silent) return false;  // a wedged daemon: the client waits for ever
    put_result(c.out, tag, number, connect_reply_ == ConnectReply::Partial);
    send(c);
    return connect_reply_ == ConnectReply::Normal;
}

void Daemon::send(Client& c) {
    for (int round = 0; round < MAX_SEND_ROUNDS && !c.out.empty(); ++round) {
        SendResult sent = send_front(c.fd.get(), c.out);
        if (sent == SendResult::Gone) {
            close(c);  // the peer is gone
            return;
        }
        if (sent == SendResult::Blocked) break;
    }
    bool want = !c.out.empty();
    if (want == c.want_write) return;
    c.want_write = want;
    loop_.modify(c.fd.get(), c.id, EPOLLIN | (want ? EPOLLOUT : 0u));
}

void Daemon::close(Client& c) {
    c.dead = true;
    c.fd.reset();  // also leaves the epoll set
}

}  // namespace vantrel::sim
