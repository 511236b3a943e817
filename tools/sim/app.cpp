#include "sim/app.h"

#include <algorithm>
#include <vector>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
constexpr std::size_t FEEDBACK_REPORT_BYTES = 16;
constexpr std::size_t DATA_REPORT_BYTES = 64;
constexpr std::uint64_t CLOSE_GRACE_NS = 2'000'000'000;
constexpr std::uint8_t HEALTH_REQUEST[] = {0xFE, 0x00, 0x01};
// The bridge's receive limits: the over-length fault announces one byte more.
constexpr std::uint16_t TRACKING_PORT = 4242;
constexpr std::uint32_t TRACKING_LIMIT = 1024;
constexpr std::uint32_t VIDEO_LIMIT = 65536;
constexpr std::uint32_t HALF_FRAME_LENGTH = 100;

// The broken bytes of a fault that writes any; after them the tunnel is silent.
std::vector<std::uint8_t> fault_bytes(FaultKind kind, std::uint16_t port) {
    std::vector<std::uint8_t> out;
    switch (kind) {
        case FaultKind::ZeroLength: out.resize(4, 0); break;
        case FaultKind::OverLength:
            out.resize(4);
            net::store_be32(out.data(), (port == TRACKING_PORT ? TRACKING_LIMIT : VIDEO_LIMIT) + 1);
            break;
        case FaultKind::HalfPrefix: out.resize(2, 0); break;
        case FaultKind::HalfFrame:
            out.resize(4 + HALF_FRAME_LENGTH / 2);
            net::store_be32(out.data(), HALF_FRAME_LENGTH);
            for (std::uint32_t i = 0; i < HALF_FRAME_LENGTH / 2; ++i)
                out[4 + i] = static_cast<std::uint8_t>(i);
            break;
        default: break;
    }
    return out;
}
}  // namespace

void App::settle() {
    for (std::vector<TunnelEvent> events; !(events = tunnels_.take_events()).empty();)
        for (TunnelEvent& e : events) handle(e);
}

void App::handle(TunnelEvent& e) {
    using Kind = TunnelEvent::Kind;
    PortState* ps = devices_.port(e.device, e.port);
    switch (e.kind) {
        case Kind::Connected: output_.event(format("connect {} {}", e.device, e.port)); break;
        case Kind::Closed: output_.event(format("disconnect {} {}", e.device, e.port)); break;
        case Kind::BadFrame: output_.event(format("bad-frame {} {} {}", e.device, e.port, e.number)); break;
        case Kind::Data:
            output_.event(format("data {} {} {} {}", e.device, e.port, e.bytes.size(),
                                 to_hex(e.bytes, DATA_REPORT_BYTES)));
            if (ps && ps->echo && !tunnels_.silent(e.tunnel)) tunnels_.write(e.tunnel, e.bytes, Framing::Raw);
            break;
        case Kind::Frame:
            if (ps) on_frame(e, *ps);
            break;
        case Kind::StreamDone:
            output_.event(format("stream-done {} {} sent={}", e.device, e.port, e.number));
            if (e.then) apply_fault(e.tunnel, e.device, e.port, *e.then);
            break;
    }
}

void App::on_frame(const TunnelEvent& e, PortState& ps) {
    if (e.first && std::ranges::equal(e.bytes, HEALTH_REQUEST)) {
        ps.stats.health += 1;
        output_.event(format("health {} {}", e.device, e.port));
        if (!tunnels_.silent(e.tunnel)) answer_health(e, ps);
        return;
    }
    ps.stats.feedback += 1;
    ps.stats.feedback_bytes += e.bytes.size();
    if (feedback_events_)
        output_.event(format("feedback {} {} {} {}", e.device, e.port, e.bytes.size(),
                             to_hex(e.bytes, FEEDBACK_REPORT_BYTES)));
    if (e.first) start_autostream(e.tunnel, e.device, e.port);
    if (ps.echo && !tunnels_.silent(e.tunnel)) tunnels_.write(e.tunnel, e.bytes, Framing::Frame);
}

// The answer goes out at once, MS later (late), its prefix and the first half of its payload at once
// and the rest MS later (split), or its prefix and then a byte every MS (trickle); the port's
// autostream starts once the whole answer is out.
void App::answer_health(const TunnelEvent& e, const PortState& ps) {
    if (ps.health == HealthMode::Ignore) {
        start_autostream(e.tunnel, e.device, e.port);
        return;
    }
    if (ps.health == HealthMode::Trickle) {
        std::uint8_t prefix[4];
        net::store_be32(prefix, ps.trickle_length);
        tunnels_.write(e.tunnel, prefix, Framing::Raw);
        trickle(e.tunnel, e.device, e.port, ps.trickle_length, ps.late_ms * NS_PER_MS);
        return;
    }
    std::vector<std::uint8_t> reply(4 + ps.health_reply.size());
    net::store_be32(reply.data(), static_cast<std::uint32_t>(ps.health_reply.size()));
    std::ranges::copy(ps.health_reply, reply.begin() + 4);
    std::size_t now_bytes = ps.health == HealthMode::Answer ? reply.size()
                            : ps.health == HealthMode::Late ? 0
                                                            : 4 + ps.health_reply.size() / 2;
    tunnels_.write(e.tunnel, std::span(reply).first(now_bytes), Framing::Raw);
    if (now_bytes == reply.size()) {
        start_autostream(e.tunnel, e.device, e.port);
        return;
    }
    reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(now_bytes));
    timers_.add(monotonic_ns() + ps.late_ms * NS_PER_MS,
                [this, id = e.tunnel, device = e.device, port = e.port, rest = std::move(reply)] {
                    if (!tunnels_.is_open(id) || tunnels_.silent(id)) return;
                    tunnels_.write(id, rest, Framing::Raw);
                    start_autostream(id, device, port);
                });
}

// One payload byte of a trickling health answer every `interval_ns`, until `left` are out or the
// tunnel is gone.
void App::trickle(TunnelId id, std::uint32_t device, std::uint16_t port, std::uint64_t left,
                  std::uint64_t interval_ns) {
    if (left == 0) {
        start_autostream(id, device, port);
        return;
    }
    timers_.add(monotonic_ns() + interval_ns, [this, id, device, port, left, interval_ns] {
        if (!tunnels_.is_open(id) || tunnels_.silent(id)) return;
        constexpr std::uint8_t BYTE[] = {0};
        tunnels_.write(id, BYTE, Framing::Raw);
        trickle(id, device, port, left - 1, interval_ns);
    });
}

void App::start_autostream(TunnelId id, std::uint32_t device, std::uint16_t port) {
    const PortState* ps = devices_.port(device, port);
    if (!ps || !ps->autostream || tunnels_.streaming(id) || !tunnels_.is_open(id)) return;
    if (auto r = tunnels_.start_stream(id, *ps->autostream); !r)
        output_.event(format("stream-error {} {} {}", device, port, r.error()));
}

void App::apply_fault(TunnelId id, std::uint32_t device, std::uint16_t port, FaultKind kind) {
    if (kind == FaultKind::Unplug) {
        tunnels_.unplug(device);
        return;
    }
    if (kind == FaultKind::Close) {
        // What is already queued still goes out first, unless the peer stops reading.
        tunnels_.close_when_sent(id);
        timers_.add(monotonic_ns() + CLOSE_GRACE_NS, [this, id] { tunnels_.close(id); });
        return;
    }
    tunnels_.silence(id);
    tunnels_.write(id, fault_bytes(kind, port), Framing::Raw);
}

}  // namespace vantrel::sim
