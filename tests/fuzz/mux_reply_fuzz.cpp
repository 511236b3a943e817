// Fuzz target: one usbmuxd reply read by the real MuxClient::read_response from a socket (header,
// length checks, payload, property-list parsing), then the device-list and Connect interpretation of
// whatever dictionary comes back. An accepted reply never nests deeper than MAX_PLIST_DEPTH.
//
// Input: byte 0 holds flags, the rest is what the daemon sends.
//   bit 0: the header's length field is replaced by 16 + the number of bytes after the header, so that
//          mutations of the property list are not stopped by the length check.
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "mux/client.h"
#include "mux/connect.h"
#include "mux/devices.h"
#include "net/wire.h"

namespace {

using vantrel::mux::MuxClient;
using vantrel::mux::MuxError;

constexpr std::size_t HEADER_SIZE = 16;
constexpr std::size_t MAX_RESPONSE_PAYLOAD = 1'000'000;

// A listening Unix socket in a private directory, standing in for /var/run/usbmuxd.
class StandInDaemon {
public:
    StandInDaemon() {
        char dir_template[] = "/tmp/vantrel-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(dir_template) != nullptr);
        dir_ = dir_template;
        address_.unix_path = dir_ + "/usbmuxd";
        // Not a numeric address: a failed Unix connect must never reach a real port.
        address_.tcp_address = "none";
        listener_ = vantrel::net::Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        FUZZ_CHECK(listener_.valid());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        FUZZ_CHECK(address_.unix_path.size() < sizeof addr.sun_path);
        address_.unix_path.copy(addr.sun_path, address_.unix_path.size());
        FUZZ_CHECK(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
        FUZZ_CHECK(::listen(listener_.get(), 4) == 0);
    }
    StandInDaemon(const StandInDaemon&) = delete;
    StandInDaemon& operator=(const StandInDaemon&) = delete;
    ~StandInDaemon() {
        ::unlink(address_.unix_path.c_str());
        ::rmdir(dir_.c_str());
    }

    const vantrel::mux::DaemonAddress& address() const { return address_; }
    vantrel::net::Fd accept() const {
        return vantrel::net::Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    std::string dir_;
    vantrel::mux::DaemonAddress address_;
    vantrel::net::Fd listener_;
};

// Sends as much of `message` as the socket takes without blocking; returns how much that was.
std::size_t send_without_blocking(int fd, const std::vector<std::uint8_t>& message) {
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n =
            ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

std::size_t unread_bytes(int fd) {
    int pending = 0;
    FUZZ_CHECK(::ioctl(fd, FIONREAD, &pending) == 0);
    return static_cast<std::size_t>(pending);
}

bool is_end_of_stream(const MuxError& error) {
    return error.variant() == MuxError::Variant::Io &&
           error.io_error().kind() == vantrel::net::ErrorKind::UnexpectedEof &&
           error.display() == "I/O error: failed to fill whole buffer";
}

bool is_plist_rejection(const MuxError& error) {
    if (error.variant() != MuxError::Variant::Protocol) return false;
    return error.message() == vantrel::mux::MSG_NOT_A_DICTIONARY ||
           error.message() == vantrel::mux::MSG_NESTED_TOO_DEEPLY ||
           error.message().starts_with("Failed to parse plist: ");
}

struct TreeSize {
    std::size_t depth = 0;  // containers on the deepest path, counted up to the limit + 1
    std::size_t nodes = 0;
};

// Recurses no deeper than the limit + 1, whatever the tree.
TreeSize tree_size(plist_t node, std::size_t levels_left) {
    const plist_type type = plist_get_node_type(node);
    TreeSize size{0, 1};
    if (type != PLIST_ARRAY && type != PLIST_DICT) return size;
    size.depth = 1;
    if (levels_left == 0) return size;
    auto add = [&](plist_t child) {
        const TreeSize below = tree_size(child, levels_left - 1);
        size.depth = std::max(size.depth, 1 + below.depth);
        size.nodes += below.nodes;
    };
    if (type == PLIST_ARRAY) {
        for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) add(plist_array_get_item(node, i));
        return size;
    }
    // Values only: libplist asserts when it copies out a key that holds a zero byte, which a binary
    // list can carry (the program never copies keys out).
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    for (;;) {
        plist_t value = nullptr;
        plist_dict_next_item(node, it, nullptr, &value);
        if (value == nullptr) break;
        add(value);
    }
    std::free(it);
    return size;
}

// The interpretation that list_devices and connect_device apply to a reply.
void interpret(plist_t root) {
    const auto devices = vantrel::mux::devices_from_response(root);
    plist_t list = plist_dict_get_item(root, "DeviceList");
    if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY) {
        FUZZ_CHECK(devices.empty());
    } else {
        FUZZ_CHECK(devices.size() <= plist_array_get_size(list));
    }
    const std::int64_t code = vantrel::mux::connect_result_code(root);
    if (plist_dict_get_item(root, "Number") == nullptr) FUZZ_CHECK(code == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const StandInDaemon daemon;
    if (size == 0) return 0;
    const bool fix_length = (data[0] & 1) != 0;
    std::vector<std::uint8_t> message(data + 1, data + size);
    if (fix_length && message.size() >= HEADER_SIZE) {
        const auto length = static_cast<std::uint32_t>(message.size());
        for (std::size_t i = 0; i < 4; ++i) message[i] = static_cast<std::uint8_t>(length >> (8 * i));
    }

    auto client = MuxClient::connect(daemon.address());
    FUZZ_CHECK(client.has_value());
    FUZZ_CHECK(client->kind() == vantrel::mux::ConnectionKind::Unix);
    vantrel::net::Fd peer = daemon.accept();
    FUZZ_CHECK(peer.valid());
    // Whatever did not fit into the socket is simply not part of this reply.
    message.resize(send_without_blocking(peer.get(), message));
    FUZZ_CHECK(::shutdown(peer.get(), SHUT_WR) == 0);

    auto response = client->read_response();
    const std::size_t left = unread_bytes(client->fd());

    if (message.size() < HEADER_SIZE) {
        FUZZ_CHECK(!response && is_end_of_stream(response.error()));
        return 0;
    }
    const std::uint32_t length = vantrel::net::load_le32(message.data());
    if (length < HEADER_SIZE + 1 || length - HEADER_SIZE > MAX_RESPONSE_PAYLOAD) {
        FUZZ_CHECK(!response && response.error().display() == "Protocol error: Invalid payload length");
        FUZZ_CHECK(left == message.size() - HEADER_SIZE);  // nothing read past the header
        return 0;
    }
    const std::size_t payload_size = length - HEADER_SIZE;
    if (message.size() - HEADER_SIZE < payload_size) {
        FUZZ_CHECK(!response && is_end_of_stream(response.error()));
        return 0;
    }
    // Exactly one message was read: whatever follows it (tunnel bytes) stays on the socket.
    FUZZ_CHECK(left == message.size() - HEADER_SIZE - payload_size);

    auto direct = vantrel::mux::parse_response_payload(message.data() + HEADER_SIZE, payload_size);
    FUZZ_CHECK(response.has_value() == direct.has_value());
    if (!response) {
        FUZZ_CHECK(is_plist_rejection(response.error()));
        FUZZ_CHECK(response.error().display() == direct.error().display());
        return 0;
    }
    FUZZ_CHECK(plist_get_node_type(response->get()) == PLIST_DICT);
    // Whatever libplist accepted was never nested too deeply, nor expanded beyond the reply's size.
    const TreeSize tree = tree_size(response->get(), vantrel::mux::MAX_PLIST_DEPTH);
    FUZZ_CHECK(tree.depth <= vantrel::mux::MAX_PLIST_DEPTH);
    FUZZ_CHECK(tree.nodes <= payload_size);
    interpret(response->get());
    return 0;
}
