// The daemon side: usbmuxd's protocol (a 16-byte little-endian header, then a property list), served on a
// Unix socket and/or a TCP address, answering "ListDevices" and "Connect" the way the real daemon does.
// A client whose Connect succeeds is handed to the tunnels.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <plist/plist.h>

#include "net/fd.h"
#include "sim/command.h"
#include "sim/devices.h"
#include "sim/event_loop.h"
#include "sim/out_buffer.h"
#include "sim/output.h"
#include "sim/tunnels.h"

namespace vantrel::sim {

inline constexpr std::string_view DEFAULT_UNIX_PATH = "/var/run/usbmuxd";
inline constexpr std::string_view DEFAULT_TCP_ADDRESS = "127.0.0.1:27015";

class Daemon {
public:
    Daemon(EventLoop& loop, Output& output, const Devices& devices, Tunnels& tunnels);
    ~Daemon();  // removes the socket file it bound
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Binds the listeners; the error text says which one failed and why.
    std::expected<void, std::string> listen(const std::optional<std::string>& unix_path,
                                            const std::optional<std::string>& tcp_address);
    // Readiness of a listener or a client (Key::Source UnixListener, TcpListener or Client).
    void on_ready(Key key, std::uint32_t events);
    void set_list_reply(const ReplyShape<ListReply>& shape) { list_reply_ = shape; }
    void set_connect_reply(const ReplyShape<ConnectReply>& shape) { connect_reply_ = shape; }

private:
    struct Client {
        std::uint64_t id = 0;  // also the id of the tunnel it may become
        net::Fd fd;
        bool dead = false;  // closed, or handed to the tunnels
        bool want_write = false;
        std::vector<std::uint8_t> in;
        OutBuffer out;
    };

    void accept_clients(const net::Fd& listener, bool tcp);
    void on_readable(Client& c);
    void handle_request(Client& c, std::uint32_t version, std::uint32_t tag,
                        std::span<const std::uint8_t> payload);
    void list_devices(Client& c, std::uint32_t tag);
    void connect(Client& c, std::uint32_t tag, plist_t request);
    bool answer_connect(Client& c, std::uint32_t tag, std::uint64_t number);
    void send(Client& c);
    void close(Client& c);

    EventLoop& loop_;
    Output& output_;
    const Devices& devices_;
    Tunnels& tunnels_;
    net::Fd unix_listener_, tcp_listener_;
    std::string bound_unix_path_;
    std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
    std::uint64_t next_id_ = 1;
    ReplyShape<ListReply> list_reply_{};
    ReplyShape<ConnectReply> connect_reply_{};
};

}  // namespace vantrel::sim
