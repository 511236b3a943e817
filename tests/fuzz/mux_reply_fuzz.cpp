// Fuzz target: one usbmuxd reply read by the real MuxClient::read_response from a socket (header,
// length checks, payload, property-list parsing), and the reader on its own over all the bytes after
// the header (up to the 1,000,000-byte limit, more than the socket holds), then the device-list and
// Connect interpretation of whatever dictionary comes back. An accepted reply never nests deeper than
// MAX_PLIST_DEPTH, and visiting it twice yields the same serial numbers at the same addresses.
//
// Input: byte 0 holds flags, the rest is what the daemon sends.
//   bit 0: the header's length field is replaced by 16 + the number of bytes after the header, so that
//          mutations of the property list are not stopped by the length check.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "fuzz_check.h"
#include "mux/client.h"
#include "mux/connect.h"
#include "mux/devices.h"
#include "net/wire.h"

namespace {

using vantrel::mux::MuxClient;
using vantrel::mux::MuxError;
using vantrel::mux::PlistValue;
using vantrel::mux::Reply;
using vantrel::mux::ValueKind;

constexpr std::size_t HEADER_SIZE = 16;
constexpr std::size_t MAX_RESPONSE_PAYLOAD = 1'000'000;
// Keys of each dictionary looked up again by name.
constexpr std::size_t LOOKUPS_PER_DICTIONARY = 64;

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

// Every value reachable from the root, each object once however often it is referenced: no path
// holds more than MAX_PLIST_DEPTH containers, every string reads as a string at the same address twice,
// every integer reads as an integer, and a dictionary's keys (the first LOOKUPS_PER_DICTIONARY) are
// found again by name.
class Walk {
public:
    explicit Walk(const Reply& reply) : reply_(reply) {}

    // The most containers on one path from `value` down.
    std::size_t height(PlistValue value, std::size_t above) {
        FUZZ_CHECK(above <= vantrel::mux::MAX_PLIST_DEPTH);
        if (auto known = heights_.find(value.id); known != heights_.end()) {
            FUZZ_CHECK(above + known->second <= vantrel::mux::MAX_PLIST_DEPTH);
            return known->second;
        }
        std::size_t below = 0;
        auto child = [&](PlistValue v) {
            below = std::max(below, height(v, above + 1));
            return true;
        };
        switch (value.kind) {
            case ValueKind::Dictionary: {
                // Each lookup is linear in the dictionary: checking every key would make one of n keys
                // cost n^2.
                std::size_t looked_up = 0;
                reply_.for_each_entry(value, [&](std::string_view key, PlistValue v) {
                    if (looked_up++ < LOOKUPS_PER_DICTIONARY) FUZZ_CHECK(reply_.find(value, key).has_value());
                    return child(v);
                });
                break;
            }
            case ValueKind::Array: reply_.for_each_item(value, child); break;
            case ValueKind::String: {
                const auto s = reply_.string(value);
                FUZZ_CHECK(s && reply_.string(value)->data() == s->data());
                break;
            }
            case ValueKind::Integer: FUZZ_CHECK(reply_.integer(value).has_value()); break;
            case ValueKind::Other: break;
        }
        const bool container = value.kind == ValueKind::Dictionary || value.kind == ValueKind::Array;
        const std::size_t h = below + (container ? 1 : 0);
        FUZZ_CHECK(above + h <= vantrel::mux::MAX_PLIST_DEPTH);
        heights_.emplace(value.id, h);
        return h;
    }

private:
    const Reply& reply_;
    std::unordered_map<std::uint32_t, std::size_t> heights_;
};

// The interpretation that list_devices and connect_device apply to a reply: entries only from an
// array of devices, each from a dictionary, and the same serial object always at the same address.
void interpret(Reply reply) {
    const std::int64_t code = vantrel::mux::connect_result_code(reply);
    const auto number = reply.find(reply.root(), "Number");
    if (!number || number->kind != ValueKind::Integer) FUZZ_CHECK(code == 0);
    const auto list = reply.find(reply.root(), "DeviceList");
    std::size_t items = 0;
    if (list) reply.for_each_item(*list, [&](PlistValue) { return ++items, true; });

    const vantrel::mux::DeviceList devices(std::move(reply));
    std::vector<const char*> serials;
    devices.visit([&](const vantrel::mux::DeviceEntry& entry) {
        serials.push_back(entry.serial_number.data());
        return true;
    });
    FUZZ_CHECK(serials.size() <= items);
    std::size_t again = 0;
    devices.visit([&](const vantrel::mux::DeviceEntry& entry) {
        FUZZ_CHECK(again < serials.size() && serials[again++] == entry.serial_number.data());
        return true;
    });
    FUZZ_CHECK(again == serials.size());
}

// The reader on its own, on a payload of any size up to the limit (the socket above holds less).
void check_reader(const std::uint8_t* payload, std::size_t size) {
    auto reply = vantrel::mux::parse_response_payload(payload, size);
    if (!reply) {
        FUZZ_CHECK(is_plist_rejection(reply.error()));
        return;
    }
    FUZZ_CHECK(reply->root().kind == ValueKind::Dictionary);
    Walk(*reply).height(reply->root(), 0);
    interpret(std::move(*reply));
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
    if (message.size() > HEADER_SIZE && message.size() - HEADER_SIZE <= MAX_RESPONSE_PAYLOAD)
        check_reader(message.data() + HEADER_SIZE, message.size() - HEADER_SIZE);

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
    FUZZ_CHECK(response->root().kind == ValueKind::Dictionary);
    return 0;
}
