#include "sim/address.h"

#include <cstring>
#include <string>

#include "net/address.h"
#include "sim/text.h"

namespace vantrel::sim {

std::expected<net::Fd, std::string> bound_socket(const std::string& text, int type, std::string_view verb) {
    auto address = net::parse_socket_address(text);
    if (!address) return fail(format("cannot {} {}: not an address a.b.c.d:port or [v6]:port", verb, text));
    net::Fd fd(::socket(address->family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd && address->family() == AF_INET6)
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (fd && type == SOCK_STREAM) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.get(), address->get(), address->size()) != 0)
        return fail(format("cannot {} {}: {}", verb, text, net::IoError::last_os_error().text()));
    return fd;
}

}  // namespace vantrel::sim
