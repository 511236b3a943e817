#include "forwarder/setup.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <charconv>
#include <string>
#include <variant>

namespace vantrel::forwarder {

net::IoResult<void> health_check(PacketStream& stream) {
    if (auto sent = stream.write_packet(HEALTH_CHECK_REQUEST); !sent) return sent;
    if (auto set = stream.set_receive_timeout(HEALTH_CHECK_TIMEOUT_SECONDS); !set) return set;

    net::IoResult<void> outcome;
    auto reply = stream.read_packet();
    if (!reply) {
        outcome = std::unexpected(reply.error());
    } else if (std::holds_alternative<NoPacket>(*reply)) {
        outcome = std::unexpected(net::IoError(net::ErrorKind::TimedOut, MSG_HEALTH_CHECK_TIMED_OUT));
    }

    if (auto restored = stream.set_receive_timeout(RECEIVE_TIMEOUT_SECONDS); !restored) return restored;
    return outcome;
}

net::IoResult<sockaddr_in> parse_socket_address(std::string_view text) {
    const auto invalid =
        std::unexpected(net::IoError(net::ErrorKind::InvalidInput, MSG_INVALID_SOCKET_ADDRESS));
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return invalid;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    const std::string host(text.substr(0, colon));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return invalid;

    const auto port_text = text.substr(colon + 1);
    std::uint16_t port = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc{} || end != port_text.data() + port_text.size()) return invalid;
    address.sin_port = htons(port);
    return address;
}

net::IoResult<net::Fd> create_udp_socket(std::string_view address) {
    auto parsed = parse_socket_address(address);
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
