#include "net/wire.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

namespace vantrel::net {

IoResult<sockaddr_in> parse_ipv4(std::string_view text) {
    const auto invalid = std::unexpected(IoError(ErrorKind::InvalidInput, MSG_INVALID_SOCKET_ADDRESS));
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return invalid;
    const auto port_text = text.substr(colon + 1);
    std::uint16_t port = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc{} || end != port_text.data() + port_text.size()) return invalid;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const std::string host(text.substr(0, colon));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return invalid;
    return address;
}

int write_whole(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace vantrel::net
