#include "net/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

namespace vantrel::net {

namespace {

struct HostAndPort {
    std::string host;  // without brackets
    bool bracketed = false;
    std::uint16_t port = 0;
};

// HOST:PORT taken apart, or what is wrong with it.
std::expected<HostAndPort, std::string> split(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::unexpected("no port");
    const auto port_text = text.substr(colon + 1);
    std::uint64_t port = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec == std::errc::invalid_argument || end != port_text.data() + port_text.size())
        return std::unexpected("the port is not a number");
    if (ec == std::errc::result_out_of_range || port > 65535) return std::unexpected("port above 65535");
    std::string_view host = text.substr(0, colon);
    const bool bracketed = host.starts_with('[') && host.ends_with(']') && host.size() >= 2;
    if (bracketed) host = host.substr(1, host.size() - 2);
    // What is left must not hold brackets, nor colons outside them: "::1:5000" is an IPv6 host
    // without brackets.
    if (host.empty() || host.find_first_of(bracketed ? "[]" : "[]:") != std::string_view::npos)
        return std::unexpected("not HOST:PORT (an IPv6 host goes in brackets)");
    return HostAndPort{std::string(host), bracketed, static_cast<std::uint16_t>(port)};
}

std::optional<SocketAddress> numeric(const HostAndPort& parts) {
    if (parts.bracketed) {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(parts.port);
        if (::inet_pton(AF_INET6, parts.host.c_str(), &v6.sin6_addr) != 1) return std::nullopt;
        return SocketAddress::from(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    }
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(parts.port);
    if (::inet_pton(AF_INET, parts.host.c_str(), &v4.sin_addr) != 1) return std::nullopt;
    return SocketAddress::from(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

}  // namespace

SocketAddress SocketAddress::from(const sockaddr* address, socklen_t size) {
    SocketAddress out;
    out.size_ = std::min<socklen_t>(size, sizeof out.storage_);
    std::memcpy(&out.storage_, address, out.size_);
    return out;
}

std::uint16_t SocketAddress::port() const {
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

bool SocketAddress::is_loopback() const {
    if (family() == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&v6) ||
               (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);  // ::ffff:127.x.y.z
    }
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr) >> 24) == 127;
}

bool SocketAddress::same_host(const sockaddr_storage& other) const {
    if (other.ss_family != family()) return false;
    if (family() == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&other)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr,
                           sizeof(in6_addr)) == 0;
    return reinterpret_cast<const sockaddr_in*>(&other)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr;
}

std::string SocketAddress::text() const {
    char host[INET6_ADDRSTRLEN] = {};
    const bool v6 = family() == AF_INET6;
    if (v6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, host,
                    sizeof host);
    else
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, host, sizeof host);
    // Appended piece by piece: g++ 12 at -O3 warns falsely (restrict) about a literal + std::string.
    std::string out(v6 ? "[" : "");
    out.append(host).append(v6 ? "]:" : ":").append(std::to_string(port()));
    return out;
}

IoResult<SocketAddress> parse_socket_address(std::string_view text) {
    const auto parts = split(text);
    const auto address = parts ? numeric(*parts) : std::nullopt;
    if (!address) return std::unexpected(IoError(ErrorKind::InvalidInput, MSG_INVALID_SOCKET_ADDRESS));
    return *address;
}

std::expected<SocketAddress, std::string> resolve_socket_address(std::string_view text) {
    const auto parts = split(text);
    if (!parts) return std::unexpected(parts.error());
    if (parts->port == 0) return std::unexpected("port 0");
    if (auto address = numeric(*parts)) return *address;
    // Nothing in brackets but an IPv6 address, and digits and dots are no host name.
    if (parts->bracketed) return std::unexpected("not an IPv6 address in brackets");
    if (parts->host.find_first_not_of("0123456789.") == std::string::npos)
        return std::unexpected("not an IPv4 address");
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(parts->host.c_str(), nullptr, &hints, &found); rc != 0)
        return std::unexpected(std::string(::gai_strerror(rc)));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        sockaddr_storage resolved{};
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof resolved)
            continue;
        std::memcpy(&resolved, a->ai_addr, a->ai_addrlen);
        if (a->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&resolved)->sin6_port = htons(parts->port);
        else
            reinterpret_cast<sockaddr_in*>(&resolved)->sin_port = htons(parts->port);
        return SocketAddress::from(reinterpret_cast<const sockaddr*>(&resolved), a->ai_addrlen);
    }
    return std::unexpected("no IPv4 or IPv6 address");
}

}  // namespace vantrel::net
