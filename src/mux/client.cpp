#include "mux/client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "net/address.h"
#include "net/io.h"
#include "net/plist.h"
#include "net/wire.h"

namespace vantrel::mux {
namespace {

constexpr std::size_t HEADER_SIZE = 16;
constexpr std::uint32_t MESSAGE_VERSION = 1;
constexpr std::uint32_t MESSAGE_TYPE_PLIST = 8;
constexpr std::size_t MAX_RESPONSE_PAYLOAD = 1'000'000;

const net::IoError& no_answer() {
    static const net::IoError error(net::ErrorKind::TimedOut, MSG_NO_ANSWER);
    return error;
}

// A daemon whose backlog is full refuses a non-blocking Unix connect with EAGAIN instead of letting
// it wait: it is tried again this often until the deadline.
constexpr std::chrono::milliseconds FULL_BACKLOG_RETRY{10};

net::IoResult<void> set_blocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return std::unexpected(net::IoError::last_os_error());
    if (::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0)
        return std::unexpected(net::IoError::last_os_error());
    return {};
}

// A blocking, close-on-exec stream socket connected to `addr` by `deadline`. The connect itself is
// non-blocking, so that its wait is bounded by the deadline and gives way to `interrupt_fd`.
net::IoResult<net::Fd> connect_stream(int domain, const sockaddr* addr, socklen_t addr_len,
                                      net::Deadline deadline, int interrupt_fd) {
    net::Fd fd(::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return std::unexpected(net::IoError::last_os_error());
    for (;;) {
        if (::connect(fd.get(), addr, addr_len) == 0) break;
        if (errno == EINPROGRESS) {
            auto ready = net::wait_until(fd.get(), POLLOUT, deadline, interrupt_fd);
            if (!ready) return std::unexpected(ready.error());
            if (!*ready) return std::unexpected(no_answer());
            int error = 0;
            socklen_t error_len = sizeof error;
            if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &error_len) != 0)
                return std::unexpected(net::IoError::last_os_error());
            if (error != 0) return std::unexpected(net::IoError::from_errno(error));
            break;
        }
        if (errno != EAGAIN) return std::unexpected(net::IoError::last_os_error());
        const auto retry = std::min(deadline, std::chrono::steady_clock::now() + FULL_BACKLOG_RETRY);
        // Waiting on the interrupt alone: nothing on `fd` says when the backlog has room again.
        if (auto waited = net::wait_until(interrupt_fd, POLLIN, retry); !waited || *waited)
            return std::unexpected(net::interrupted());
        if (std::chrono::steady_clock::now() >= deadline) return std::unexpected(no_answer());
    }
    if (auto set = set_blocking(fd.get(), true); !set) return std::unexpected(set.error());
    return fd;
}

net::IoResult<net::Fd> connect_unix(const std::string& path, net::Deadline deadline, int interrupt_fd) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof addr.sun_path)
        return std::unexpected(net::IoError::from_errno(ENAMETOOLONG));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // The family, the path and its terminating zero: 19 bytes for "/var/run/usbmuxd".
    auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(addr.sun_path) + 1);
    return connect_stream(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), addr_len, deadline,
                          interrupt_fd);
}

net::IoResult<net::Fd> connect_tcp(const std::string& address, net::Deadline deadline, int interrupt_fd) {
    auto addr = net::parse_socket_address(address);
    if (!addr) return std::unexpected(addr.error());
    return connect_stream(addr->family(), addr->get(), addr->size(), deadline, interrupt_fd);
}

plist_t request_value(const RequestValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return plist_new_string(text->c_str());
    return plist_new_uint(std::get<std::uint64_t>(value));
}

}  // namespace

MuxResult<MuxClient> MuxClient::connect(const DaemonAddress& address, net::Deadline deadline) {
    // The Unix attempt's error is dropped on purpose: the TCP fallback's error is the one reported.
    // A daemon that is there but does not accept in time is not passed over, though, and an
    // address pinned to the Unix socket has no fallback.
    const int interrupt_fd = address.interrupt_fd;
    if (!address.unix_path.empty()) {
        auto unix_fd = connect_unix(address.unix_path, deadline, interrupt_fd);
        if (unix_fd) return MuxClient(std::move(*unix_fd), ConnectionKind::Unix, deadline, interrupt_fd);
        if (unix_fd.error() == no_answer() || unix_fd.error().kind() == net::ErrorKind::Interrupted ||
            address.tcp_address.empty())
            return std::unexpected(MuxError::io(unix_fd.error()));
    }
    auto tcp_fd = connect_tcp(address.tcp_address, deadline, interrupt_fd);
    if (!tcp_fd) return std::unexpected(MuxError::io(tcp_fd.error()));
    return MuxClient(std::move(*tcp_fd), ConnectionKind::Tcp, deadline, interrupt_fd);
}

MuxResult<void> MuxClient::send_request(const Request& request, std::uint32_t tag) {
    net::Plist dict(plist_new_dict());
    for (const auto& [key, value] : request)
        plist_dict_set_item(dict.get(), key.c_str(), request_value(value));

    char* raw = nullptr;
    std::uint32_t payload_len = 0;
    plist_to_xml(dict.get(), &raw, &payload_len);
    net::XmlText payload(raw);
    if (payload == nullptr || payload_len == 0)
        return std::unexpected(MuxError::protocol(std::string(MSG_WRITER_PRODUCED_NO_XML)));
    if (payload_len > std::numeric_limits<std::uint32_t>::max() - HEADER_SIZE)
        return std::unexpected(MuxError::protocol(std::string(MSG_REQUEST_TOO_LARGE)));

    std::array<std::uint8_t, HEADER_SIZE> header{};
    net::store_le32(header.data(), static_cast<std::uint32_t>(payload_len + HEADER_SIZE));
    net::store_le32(header.data() + 4, MESSAGE_VERSION);
    net::store_le32(header.data() + 8, MESSAGE_TYPE_PLIST);
    net::store_le32(header.data() + 12, tag);

    if (auto sent = net::send_all_until(fd_.get(), header, deadline_, no_answer(), interrupt_fd_); !sent)
        return std::unexpected(MuxError::io(sent.error()));
    std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(payload.get()), payload_len);
    if (auto sent = net::send_all_until(fd_.get(), body, deadline_, no_answer(), interrupt_fd_); !sent)
        return std::unexpected(MuxError::io(sent.error()));
    return {};
}

MuxResult<Reply> MuxClient::read_response() {
    std::array<std::uint8_t, HEADER_SIZE> header{};
    if (auto got = net::recv_all_until(fd_.get(), header, deadline_, no_answer(), interrupt_fd_); !got)
        return std::unexpected(MuxError::io(got.error()));
    // Version, message type and tag are not checked: the one reply on a connection answers its one request.
    std::uint32_t length = net::load_le32(header.data());
    std::size_t payload_len = length < HEADER_SIZE ? 0 : length - HEADER_SIZE;
    if (length < HEADER_SIZE + 1 || payload_len > MAX_RESPONSE_PAYLOAD)
        return std::unexpected(MuxError::protocol(std::string(MSG_INVALID_PAYLOAD_LENGTH)));

    std::vector<std::uint8_t> payload(payload_len);
    if (auto got = net::recv_all_until(fd_.get(), payload, deadline_, no_answer(), interrupt_fd_); !got)
        return std::unexpected(MuxError::io(got.error()));
    return Reply::parse(std::move(payload));
}

}  // namespace vantrel::mux
