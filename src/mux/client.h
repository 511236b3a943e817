// Connection to usbmuxd and its message framing: a 16-byte little-endian header, then a property list.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "mux/mux_error.h"
#include "mux/reply.h"
#include "net/fd.h"
#include "net/io.h"

namespace vantrel::mux {

// Where the program finds the daemon: the Unix socket first, then the TCP fallback.
inline constexpr std::string_view USBMUXD_SOCKET_PATH = "/var/run/usbmuxd";
inline constexpr std::string_view USBMUXD_TCP_ADDRESS = "127.0.0.1:27015";

// A daemon that has not completed its answer this long after a request began is taken as wedged.
inline constexpr std::chrono::milliseconds DAEMON_ANSWER_TIMEOUT{5000};
inline constexpr std::string_view MSG_NO_ANSWER = "no answer from usbmuxd within 5 s";

// The program always uses the defaults; tests point the client at sockets of their own.
struct DaemonAddress {
    std::string unix_path{USBMUXD_SOCKET_PATH};    // empty: TCP only
    // Numeric "a.b.c.d:port" or "[v6]:port" (names are looked up once, before); empty: Unix only.
    std::string tcp_address{USBMUXD_TCP_ADDRESS};
    std::chrono::milliseconds answer_timeout = DAEMON_ANSWER_TIMEOUT;
    // Readable when the program stops: a request in progress then gives up at once (Interrupted).
    int interrupt_fd = -1;

    // When a request that begins now must have been answered.
    net::Deadline answer_deadline() const { return std::chrono::steady_clock::now() + answer_timeout; }
};

enum class ConnectionKind { Unix, Tcp };

// A request dictionary: string and integer values only.
using RequestValue = std::variant<std::string, std::uint64_t>;
using Request = std::map<std::string, RequestValue>;

inline constexpr std::string_view CLIENT_NAME = "vantrel-companion";

// The texts of the client's own Protocol errors (the reader's are in mux/reply.h).
inline constexpr std::string_view MSG_INVALID_PAYLOAD_LENGTH = "Invalid payload length";
inline constexpr std::string_view MSG_WRITER_PRODUCED_NO_XML = "Plist error: the writer produced no XML";
inline constexpr std::string_view MSG_REQUEST_TOO_LARGE = "Plist error: request too large";

class MuxClient {
public:
    // Unix socket first; on any failure of it but a timeout or an interrupt, TCP. Only the TCP error
    // is ever reported. Connecting, the request and its response must all be through by `deadline`, else
    // the Io error "no answer from usbmuxd within 5 s".
    static MuxResult<MuxClient> connect(const DaemonAddress& address, net::Deadline deadline);
    static MuxResult<MuxClient> connect(const DaemonAddress& address = {}) {
        return connect(address, address.answer_deadline());
    }

    // Writes the request as an XML property list behind a header with the given tag.
    MuxResult<void> send_request(const Request& request, std::uint32_t tag);

    // Reads one response; its root must be a dictionary.
    MuxResult<Reply> read_response();

    ConnectionKind kind() const { return kind_; }
    int fd() const { return fd_.get(); }
    // Hands the socket over (it becomes a device tunnel after a successful Connect).
    net::Fd release_fd() && { return std::move(fd_); }

private:
    MuxClient(net::Fd fd, ConnectionKind kind, net::Deadline deadline, int interrupt_fd)
        : fd_(std::move(fd)), kind_(kind), deadline_(deadline), interrupt_fd_(interrupt_fd) {}

    net::Fd fd_;
    ConnectionKind kind_;
    net::Deadline deadline_;
    int interrupt_fd_;
};

}  // namespace vantrel::mux
