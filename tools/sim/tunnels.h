// The tunnels: the connections the daemon side has turned into tunnels, as the app on the far end has
// them. Each tunnel cuts the frames the bridge writes out of its bytes, and writes what it is given and
// the packets of its stream through one write buffer. The tunnels only carry: what happens on them is
// queued as TunnelEvents for the app (app.h) to take, so nothing here calls back into its caller, and a
// tunnel's state is changed here alone.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "net/fd.h"
#include "sim/devices.h"
#include "sim/event_loop.h"
#include "sim/generator.h"
#include "sim/out_buffer.h"
#include "sim/stamp.h"

namespace vantrel::sim {

using TunnelId = std::uint64_t;

// Something that happened on a tunnel, in the order it happened.
struct TunnelEvent {
    enum class Kind {
        Connected,   // adopted from the daemon side
        Frame,       // a frame from the bridge: `bytes` is its payload, `first` marks the tunnel's first
        Data,        // raw mode: a chunk of bytes as read
        BadFrame,    // the bridge announced a frame above the app's limit (`number`); Closed follows
        StreamDone,  // the stream handed its last packet over: `number` packets; `then` its fault
        Closed,
    };
    Kind kind = Kind::Connected;
    TunnelId tunnel = 0;
    std::uint32_t device = 0;
    std::uint16_t port = 0;
    std::vector<std::uint8_t> bytes{};
    bool first = false;
    std::uint64_t number = 0;
    std::optional<FaultKind> then{};
};

// How bytes given to `write` go out: as they are, or as one frame, counted in the port's `sent` and
// `bytes` or not (an echo is not).
enum class Framing { Raw, Frame, CountedFrame };

// How the app reads what the bridge writes: everything at once, nothing, or BPS bytes per second.
struct ReadPace {
    bool on = true;
    std::uint64_t bytes_per_second = 0;  // 0: as fast as it comes
};

class Tunnels {
public:
    // `stdin_is_script`: standard input carries the script, so no stream may read it.
    Tunnels(EventLoop& loop, Devices& devices, bool stdin_is_script);
    ~Tunnels();
    Tunnels(const Tunnels&) = delete;
    Tunnels& operator=(const Tunnels&) = delete;

    // Takes over a daemon client whose Connect succeeded: its socket, the reply still queued and the
    // bytes that followed the request. The port's previous tunnel is closed.
    void adopt(TunnelId id, net::Fd fd, OutBuffer out, std::vector<std::uint8_t> in, std::uint32_t device,
               std::uint16_t port);
    // What happened since the last call, oldest first.
    std::vector<TunnelEvent> take_events() { return std::exchange(events_, {}); }

    // Readiness of a tunnel, or of standard input as a stream's source.
    void on_ready(TunnelId id, std::uint32_t events);
    void on_source_ready();
    // Frees the tunnels closed since the last call, then serves the streams whose packets fall due and
    // the paced readers whose bytes do.
    void service_due(std::uint64_t now);
    std::optional<std::uint64_t> next_due_ns() const;

    bool is_open(TunnelId id) const { return find(id) != nullptr; }
    // The port's current tunnel.
    std::optional<TunnelId> current(std::uint32_t device, std::uint16_t port) const;
    // The open tunnels' ports, in the order of their ids (for progress lines).
    std::vector<std::pair<std::uint32_t, std::uint16_t>> open_ports() const;
    bool streaming(TunnelId id) const;
    bool silent(TunnelId id) const;

    // Queues bytes and writes them, as far as the socket takes them; on a closed tunnel, nothing.
    void write(TunnelId id, std::span<const std::uint8_t> bytes, Framing framing);
    std::expected<void, std::string> start_stream(TunnelId id, const StreamSettings& settings);
    void stop_stream(TunnelId id);
    // No more stream, health answers or echo of its own; what the bridge writes is still read.
    void silence(TunnelId id);
    void set_read_pace(TunnelId id, ReadPace pace);
    // Closes once what is queued is out.
    void close_when_sent(TunnelId id);
    void close(TunnelId id);
    // The device leaves the list and every tunnel to it is closed at once, as with the real daemon.
    void unplug(std::uint32_t device);

private:
    struct Tunnel;

    Tunnel* find(TunnelId id) const;
    void report(const Tunnel& t, TunnelEvent::Kind kind);
    void read_input(Tunnel& t, std::uint64_t now);
    void process_input(Tunnel& t);
    void service(Tunnel& t, std::uint64_t now = monotonic_ns());
    void watch(Tunnel& t);
    void close(Tunnel& t);

    EventLoop& loop_;
    Devices& devices_;
    bool stdin_is_script_;
    std::map<TunnelId, std::unique_ptr<Tunnel>> tunnels_;
    std::vector<TunnelEvent> events_;
    std::shared_ptr<FileSource> stdin_source_;
    bool stdin_source_watched_ = false;
};

}  // namespace vantrel::sim
