#include "mux/connect.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <limits>

#include "net/wire.h"

namespace vantrel::mux {
namespace {

constexpr std::uint32_t CONNECT_TAG = 2;

}  // namespace

std::int64_t connect_result_code(const Reply& response) {
    const auto value = response.find(response.root(), "Number");
    const auto number = value ? response.integer(*value) : std::nullopt;
    if (!number) return 0;
    // Two's complement: a negative value's bits read back as itself.
    if (number->negative ||
        number->bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(number->bits);
    return -1;
}

MuxResult<DeviceStream> connect_device(std::uint32_t device_id, std::uint16_t port,
                                       const DaemonAddress& address) {
    auto client = MuxClient::connect(address);
    if (!client) return std::unexpected(client.error());
    const Request request{
        {"MessageType", std::string("Connect")},
        {"DeviceID", std::uint64_t{device_id}},
        {"PortNumber", std::uint64_t{net::swap_port(port)}},
        {"ClientVersionString", std::string(CLIENT_NAME)},
        {"ProgName", std::string(CLIENT_NAME)},
    };
    if (auto sent = client->send_request(request, CONNECT_TAG); !sent) return std::unexpected(sent.error());
    // Reads exactly the reply: tunnel bytes that follow it stay on the socket.
    auto response = client->read_response();
    if (!response) return std::unexpected(response.error());
    if (std::int64_t code = connect_result_code(*response); code != 0)
        return std::unexpected(MuxError::refused(code));

    if (client->kind() == ConnectionKind::Tcp) {
        int on = 1;
        if (::setsockopt(client->fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
            return std::unexpected(MuxError::io(net::IoError::last_os_error()));
    }
    return DeviceStream{std::move(*client).release_fd()};
}

}  // namespace vantrel::mux
