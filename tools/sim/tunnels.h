// The tunnels: what a phone running the Vantrel app does on the far end of each connection the daemon
// side has turned into a tunnel. It reads the frames the bridge writes (health-check request,
// feedback), answers the health check, streams generated or file packets, and misbehaves on demand.
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

namespace vantrel::sim {

struct Tunnel {
    std::uint64_t id = 0;  // also its epoll key
    net::Fd fd;
    std::uint32_t device = 0;
    std::uint16_t port = 0;
    std::vector<std::uint8_t> in;
    OutBuffer out;
    bool dead = false;
    bool want_write = false;
    bool reading = true;  // off: the app leaves what the bridge writes in the socket
    bool frames_seen = false;
    bool silent = false;
    bool closing = false;
    std::unique_ptr<Generator> gen;
    std::uint64_t gen_reported_sent = 0, gen_reported_bytes = 0;  // already added to the port's stats
    std::uint64_t last_fill_ns = 0;
};

class Tunnels {
public:
    // epoll key of standard input as a stream's file source.
    static constexpr std::uint64_t ID_SOURCE = 5;

    // `stdin_is_script`: standard input carries the script, so no stream may read it.
    Tunnels(EventLoop& loop, Output& output, Devices& devices, bool stdin_is_script, bool feedback_events);

    // Takes over a daemon client whose Connect succeeded: its socket, the reply still queued and the
    // bytes that followed the request. The port's previous tunnel is closed.
    void adopt(std::uint64_t id, net::Fd fd, OutBuffer out, std::vector<std::uint8_t> in,
               std::uint32_t device, std::uint16_t port);
    Tunnel* find(std::uint64_t id);                        // a live tunnel
    Tunnel* of(std::uint32_t device, std::uint16_t port);  // the port's current tunnel
    void on_ready(Tunnel& t, std::uint32_t events);
    // Streams whose packets fall due; when that is next; standard input has more for a stream.
    void service_due(std::uint64_t now);
    std::optional<std::uint64_t> next_due_ns() const;
    void source_readable();
    // Frees the tunnels closed since the last call.
    void reap();
    // Every open tunnel, its counters brought up to date (for progress lines).
    void each_open(const std::function<void(const Tunnel&, const PortState&)>& fn);

    // What the commands do.
    void write(Tunnel& t, std::span<const std::uint8_t> bytes, bool as_frame);
    std::expected<void, std::string> start_stream(Tunnel& t, const StreamSettings& settings);
    void stop(Tunnel& t);
    // Brings the port's counters up to date with what the stream has written.
    void account(Tunnel& t);
    void apply_fault(Tunnel& t, FaultKind kind);
    void set_reading(Tunnel& t, bool on);
    void close(Tunnel& t);
    void set_feedback_events(bool on) { feedback_events_ = on; }
    // What the unplug fault asks of the owner of the devices (later: the caller may hold references).
    std::function<void(std::uint32_t device)> unplug;

private:
    void process_input(Tunnel& t);
    void on_frame(Tunnel& t, PortState& ps, std::span<const std::uint8_t> payload);
    void answer_health(Tunnel& t, const PortState& ps);
    void start_autostream(Tunnel& t);
    void service(Tunnel& t, std::uint64_t now);
    void finish_stream(Tunnel& t);
    void watch(Tunnel& t, bool want_write);

    EventLoop& loop_;
    Output& output_;
    Devices& devices_;
    bool stdin_is_script_;
    bool feedback_events_;
    std::map<std::uint64_t, std::unique_ptr<Tunnel>> tunnels_;
    std::shared_ptr<FileSource> stdin_source_;
    bool stdin_source_watched_ = false;
};

}  // namespace vantrel::sim
