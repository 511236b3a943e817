#include "forwarder/setup.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <variant>

#include "net/address.h"

namespace vantrel::forwarder {

net::IoResult<void> health_check(PacketStream& stream, int interrupt_fd) {
    const auto deadline = std::chrono::steady_clock::now() + HEALTH_CHECK_TIMEOUT;
    // Seven bytes on a fresh connection: the deadline only guards against a peer that never reads.
    if (auto sent = stream.write_packet(HEALTH_CHECK_REQUEST, deadline, interrupt_fd); !sent) return sent;
    // A reply cut off by the time stays in the stream, to be completed as an ordinary packet.
    auto reply = stream.read_packet_until(deadline, interrupt_fd);
    if (!reply) return std::unexpected(reply.error());
    if (std::holds_alternative<NoPacket>(*reply))
        return std::unexpected(net::IoError(net::ErrorKind::TimedOut, MSG_HEALTH_CHECK_TIMED_OUT));
    return {};
}

net::IoResult<net::Fd> create_udp_socket(std::string_view address) {
    auto parsed = net::parse_socket_address(address);
    if (!parsed) return std::unexpected(parsed.error());
    net::Fd socket(::socket(parsed->family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(net::IoError::last_os_error());
    if (::bind(socket.get(), parsed->get(), parsed->size()) != 0)
        return std::unexpected(net::IoError::last_os_error());
    return socket;
}

net::IoResult<void> set_nonblocking(int fd) {
    int on = 1;
    if (::ioctl(fd, FIONBIO, &on) != 0) return std::unexpected(net::IoError::last_os_error());
    return {};
}

}  // namespace vantrel::forwarder
