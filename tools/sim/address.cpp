#include "sim/address.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

std::optional<SocketAddress> parse_address(std::string_view text) {
    SocketAddress address;
    if (auto v4 = net::parse_ipv4(text)) {
        std::memcpy(&address.storage, &*v4, sizeof *v4);
        address.length = sizeof *v4;
        return address;
    }
    auto close = text.rfind("]:");
    if (!text.starts_with('[') || close == std::string_view::npos) return std::nullopt;
    auto port = parse_u64(text.substr(close + 2));
    if (!port || *port > 65535) return std::nullopt;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(*port));
    if (::inet_pton(AF_INET6, std::string(text.substr(1, close - 1)).c_str(), &v6.sin6_addr) != 1)
        return std::nullopt;
    std::memcpy(&address.storage, &v6, sizeof v6);
    address.length = sizeof v6;
    return address;
}

std::expected<net::Fd, std::string> bound_socket(const std::string& text, int type, std::string_view verb) {
    auto address = parse_address(text);
    if (!address) return fail(format("cannot {} {}: not an address a.b.c.d:port or [v6]:port", verb, text));
    net::Fd fd(::socket(address->family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd && address->family() == AF_INET6)
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (fd && type == SOCK_STREAM) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.get(), address->get(), address->length) != 0)
        return fail(format("cannot {} {}: {}", verb, text, net::IoError::last_os_error().text()));
    return fd;
}

}  // namespace vantrel::sim
