#include "forwarder/setup.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <variant>

#include "net/wire.h"

namespace vantrel::forwarder {

net::IoResult<void> health_check(PacketStream& stream) {
    if (auto sent = stream.write_packet(HEALTH_CHECK_REQUEST); !sent) return sent;
    if (auto set = stream.set_receive_timeout(HEALTH_CHECK_TIMEOUT_SECONDS); !set) return set;

    net::IoResult<void> outcome;
    // A reply cut off by the timeout stays in the stream, to be completed as an ordinary packet.
    auto reply = stream.read_packet(PayloadTimeout::Keeps);
    if (!reply) {
        outcome = std::unexpected(reply.error());
    } else if (std::holds_alternative<NoPacket>(*reply)) {
        outcome = std::unexpected(net::IoError(net::ErrorKind::TimedOut, MSG_HEALTH_CHECK_TIMED_OUT));
    }

    if (auto restored = stream.set_receive_timeout(RECEIVE_TIMEOUT_SECONDS); !restored) return restored;
    return outcome;
}

net::IoResult<net::Fd> create_udp_socket(std::string_view address) {
    auto parsed = net::parse_ipv4(address);
    if (!parsed) return std::unexpected(parsed.error());
    net::Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) return std::unexpected(net::IoError::last_os_error());
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*parsed), sizeof *parsed) != 0)
        return std::unexpected(net::IoError::last_os_error());
    return socket;
}

net::IoResult<void> set_nonblocking(int fd) {
    int on = 1;
    if (::ioctl(fd, FIONBIO, &on) != 0) return std::unexpected(net::IoError::last_os_error());
    return {};
}

}  // namespace vantrel::forwarder
