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
#include "sim/address.h"
#include "sim/replies.h"
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
    auto fd = bound_socket(address, SOCK_STREAM, "listen on");
    if (fd && ::listen(fd->get(), 128) != 0)
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
        loop_.watch(unix_listener_.get(), Key{Key::Source::UnixListener});
    }
    if (tcp_address) {
        auto fd = listen_tcp(*tcp_address);
        if (!fd) return std::unexpected(fd.error());
        tcp_listener_ = std::move(*fd);
        loop_.watch(tcp_listener_.get(), Key{Key::Source::TcpListener});
    }
    return {};
}

void Daemon::on_ready(Key key, std::uint32_t events) {
    if (key.source != Key::Source::Client) {
        bool tcp = key.source == Key::Source::TcpListener;
        accept_clients(tcp ? tcp_listener_ : unix_listener_, tcp);
        return;
    }
    auto it = clients_.find(key.id);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    if (!c.dead && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) on_readable(c);
    if (!c.dead && (events & EPOLLOUT)) send(c);
    if (c.dead) clients_.erase(it);
}

void Daemon::accept_clients(const net::Fd& listener, bool tcp) {
    for (;;) {
        net::Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
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
        loop_.watch(fd.get(), Key{Key::Source::Client, c->id});
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
        if (ended) tunnels_.close(c.id);
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
        put_message(c.out, tag, result_payload(RESULT_BADCOMMAND, {}));
        send(c);
    }
}

void Daemon::list_devices(Client& c, std::uint32_t tag) {
    output_.event("list-devices");
    switch (list_reply_.mode) {
        case ListReply::Garbage:
            put_message(c.out, tag,
                        std::span(reinterpret_cast<const std::uint8_t*>(GARBAGE.data()), GARBAGE.size()));
            break;
        case ListReply::BadLength:
            put_header(c.out, list_reply_.number, VERSION_PLIST, TYPE_PLIST, tag);
            break;
        case ListReply::Silent: return;
        case ListReply::Close: close(c); return;
        default:
            put_message(c.out, tag, list_payload(list_reply_, devices_.all()),
                        list_reply_.mode == ListReply::Partial);
    }
    send(c);
}

void Daemon::connect(Client& c, std::uint32_t tag, plist_t request) {
    auto id = uint_value(request, "DeviceID");
    auto port_number = uint_value(request, "PortNumber");
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
    tunnels_.adopt(c.id, std::move(c.fd), std::move(c.out), std::move(c.in), it->first, port);
}

// False when the reply is not whole (connect-reply silent or partial): then no tunnel is made.
bool Daemon::answer_connect(Client& c, std::uint32_t tag, std::uint64_t number) {
    if (connect_reply_.mode == ConnectReply::Silent)
        return false;  // a wedged daemon: the client waits for ever
    bool partial = connect_reply_.mode == ConnectReply::Partial;
    put_message(c.out, tag, result_payload(number, connect_reply_), partial);
    send(c);
    return !partial;
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
    loop_.modify(c.fd.get(), Key{Key::Source::Client, c.id}, EPOLLIN | (want ? EPOLLOUT : 0u));
}

void Daemon::close(Client& c) {
    c.dead = true;
    c.fd.reset();  // also leaves the epoll set
}

}  // namespace vantrel::sim
