// The benchmark's yardstick: the least a framed relay can do. It reaches the device through usbmuxd as
// the bridge does (first listed device, Connect, the health-check request), then per packet reads a
// 4-byte prefix, reads the payload into one fixed buffer and sends it with one sendto. One thread,
// no allocation, no counters, no feedback.
//
// Usage: reference_relay [--like-bridge] DEVICE_PORT DESTINATION_PORT   (e.g. 5000 5000, or 4242 4242)
// --like-bridge adds what the bridge's design used to cost: the process gets a second (idle) thread, as
// a multi-threaded process pays more per system call, and each payload is copied into a fresh
// allocation of its exact size before it is sent (the bridge now sends from its stream buffer).
// Ends with status 0 when the stream ends, 1 on any other failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "mux/connect.h"
#include "mux/devices.h"
#include "net/fd.h"
#include "net/io.h"
#include "net/wire.h"

namespace {

using vantrel::net::ErrorKind;

constexpr std::size_t MAX_PACKET = 65536;
constexpr std::uint8_t HEALTH_CHECK_FRAME[] = {0x00, 0x00, 0x00, 0x03, 0xFE, 0x00, 0x01};

int fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "reference_relay: %s: %s\n", what, text.c_str());
    return 1;
}

bool parse_port(std::string_view text, std::uint16_t& port) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc{} && end == text.data() + text.size() && port != 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool like_bridge = argc == 4 && std::string_view(argv[1]) == "--like-bridge";
    const int first = like_bridge ? 2 : 1;
    std::uint16_t device_port = 0, destination_port = 0;
    if (argc != first + 2 || !parse_port(argv[first], device_port) ||
        !parse_port(argv[first + 1], destination_port)) {
        std::fprintf(stderr, "usage: reference_relay [--like-bridge] DEVICE_PORT DESTINATION_PORT\n");
        return 2;
    }
    if (like_bridge) {
        std::thread([] {
            for (;;) ::pause();
        }).detach();
    }

    // The harness starts the simulator first, but a device may take a moment to be listed.
    std::optional<std::uint32_t> device_id;
    for (int attempt = 0; !device_id; ++attempt) {
        auto devices = vantrel::mux::list_devices();
        if (!devices) return fail("list devices", devices.error().display());
        devices->visit([&](const vantrel::mux::DeviceEntry& device) {
            device_id = device.device_id;
            return false;
        });
        if (device_id) break;
        if (attempt == 50) return fail("list devices", "no device");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto tunnel = vantrel::mux::connect_device(*device_id, device_port);
    if (!tunnel) return fail("connect", tunnel.error().display());
    const int stream = tunnel->fd.get();

    vantrel::net::Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!udp) return fail("socket", vantrel::net::IoError::last_os_error().text());
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(udp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return fail("bind", vantrel::net::IoError::last_os_error().text());
    sockaddr_in destination = local;
    destination.sin_port = htons(destination_port);

    // The app starts streaming once it has seen a first frame; its answer is read and dropped below.
    if (auto sent = vantrel::net::send_all(stream, HEALTH_CHECK_FRAME); !sent)
        return fail("health check", sent.error().text());

    std::vector<std::uint8_t> payload(MAX_PACKET);
    std::uint8_t prefix[4];
    bool health_answer = true;
    for (;;) {
        std::size_t filled = 0;
        if (auto got = vantrel::net::recv_resume(stream, prefix, filled); !got) {
            if (got.error().kind() == ErrorKind::UnexpectedEof) return 0;
            return fail("receive", got.error().text());
        }
        const std::uint32_t length = vantrel::net::load_be32(prefix);
        if (length == 0 || length > MAX_PACKET) return fail("receive", "bad packet length");
        const auto body = std::span(payload).first(length);
        filled = 0;
        if (auto got = vantrel::net::recv_resume(stream, body, filled); !got)
            return fail("receive", got.error().text());
        if (health_answer) {
            health_answer = false;
            continue;
        }
        // Like the bridge: a datagram the socket cannot take at once is lost.
        if (like_bridge) {
            const std::vector<std::uint8_t> copy(body.begin(), body.end());
            (void)::sendto(udp.get(), copy.data(), copy.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        } else {
            (void)::sendto(udp.get(), body.data(), body.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        }
    }
}
