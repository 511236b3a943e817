// The tunnels: the connections the daemon side has turned into tunnels, as the app on the far end has
// them. Each tunnel cuts the frames the bridge writes out of its bytes and hands them to the app
// (app.h), and writes what the app queues and the packets of its stream through one write buffer.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/fd.h"
#include "sim/devices.h"
#include "sim/event_loop.h"
#include "sim/generator.h"
#include "sim/out_buffer.h"
#include "sim/output.h"
#include "sim/stamp.h"

namespace vantrel::sim {

struct Tunnel {
    std::uint64_t id = 0;  // also its epoll key
    net::Fd fd;
    std::uint32_t device = 0;
    std::uint16_t port = 0;
    PortState* ps = nullptr;  // the port's settings and counters (the device outlives its tunnels)
    std::vector<std::uint8_t> in;
    OutBuffer out;
    bool dead = false;
    bool want_write = false;
    bool reading = true;  // off: the app leaves what the bridge writes in the socket
    bool frames_seen = false;
    bool silent = false;
    bool closing = false;
    std::unique_ptr<Generator> gen;
    std::uint64_t last_fill_ns = 0;
};

// What the app makes of a tunnel's traffic; the tunnels only carry it.
class TunnelHandler {
public:
    virtual ~TunnelHandler() = default;
    virtual void on_frame(Tunnel& t, std::span<const std::uint8_t> payload) = 0;
    // The stream handed its last packet to the system; `then` is the fault it ends with.
    virtual void on_stream_done(Tunnel& t, std::optional<FaultKind> then) = 0;
};

class Tunnels {
public:
    // epoll key of standard input as a stream's file source.
    static constexpr std::uint64_t ID_SOURCE = 5;

    // `stdin_is_script`: standard input carries the script, so no stream may read it.
    Tunnels(EventLoop& loop, Output& output, Devices& devices, TunnelHandler& app, bool stdin_is_script);

    // Takes over a daemon client whose Connect succeeded: its socket, the reply still queued and the
    // bytes that followed the request. The port's previous tunnel is closed.
    void adopt(std::uint64_t id, net::Fd fd, OutBuffer out, std::vector<std::uint8_t> in,
               std::uint32_t device, std::uint16_t port);
    Tunnel* find(std::uint64_t id);                        // a live tunnel
    Tunnel* of(std::uint32_t device, std::uint16_t port);  // the port's current tunnel
    // Readiness of a tunnel or of standard input as a stream's source; false when `key` is neither.
    bool on_ready(std::uint64_t key, std::uint32_t events);
    // Frees the tunnels closed since the last call, then serves the streams whose packets fall due.
    void service_due(std::uint64_t now);
    std::optional<std::uint64_t> next_due_ns() const;
    // Every open tunnel (for progress lines).
    void each_open(const std::function<void(const Tunnel&)>& fn) const;

    // Writes what is queued and tops the buffer up from the stream, as far as the socket takes it.
    void service(Tunnel& t, std::uint64_t now = monotonic_ns());
    // Queues bytes, as one frame (counted in the port's counters) or as they are, and writes them.
    void write(Tunnel& t, std::span<const std::uint8_t> bytes, bool as_frame);
    std::expected<void, std::string> start_stream(Tunnel& t, const StreamSettings& settings);
    void stop(Tunnel& t) { t.gen.reset(); }
    void set_reading(Tunnel& t, bool on) { watch(t, on, t.want_write); }
    void close(Tunnel& t);

private:
    void process_input(Tunnel& t);
    void watch(Tunnel& t, bool reading, bool want_write);

    EventLoop& loop_;
    Output& output_;
    Devices& devices_;
    TunnelHandler& app_;
    bool stdin_is_script_;
    std::map<std::uint64_t, std::unique_ptr<Tunnel>> tunnels_;
    std::shared_ptr<FileSource> stdin_source_;
    bool stdin_source_watched_ = false;
};

}  // namespace vantrel::sim
