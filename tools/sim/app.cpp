#include "sim/app.h"

#include <algorithm>
#include <vector>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
constexpr std::size_t FEEDBACK_REPORT_BYTES = 16;
constexpr std::uint64_t CLOSE_GRACE_NS = 2'000'000'000;
constexpr std::uint8_t HEALTH_REQUEST[] = {0xFE, 0x00, 0x01};
// The bridge's receive limits: the over-length fault announces one byte more.
constexpr std::uint16_t TRACKING_PORT = 4242;
constexpr std::uint32_t TRACKING_LIMIT = 1024;
constexpr std::uint32_t VIDEO_LIMIT = 65536;
constexpr std::uint32_t HALF_FRAME_LENGTH = 100;

// The broken bytes of a fault that writes any; after them the tunnel is silent.
void write_fault_bytes(OutBuffer& out, FaultKind kind, std::uint16_t port) {
    switch (kind) {
        case FaultKind::ZeroLength: net::store_be32(out.grow(4), 0); break;
        case FaultKind::OverLength:
            net::store_be32(out.grow(4), (port == TRACKING_PORT ? TRACKING_LIMIT : VIDEO_LIMIT) + 1);
            break;
        case FaultKind::HalfPrefix: std::fill_n(out.grow(2), 2, 0); break;
        case FaultKind::HalfFrame: {
            std::uint8_t* p = out.grow(4 + HALF_FRAME_LENGTH / 2);
            net::store_be32(p, HALF_FRAME_LENGTH);
            for (std::uint32_t i = 0; i < HALF_FRAME_LENGTH / 2; ++i) p[4 + i] = static_cast<std::uint8_t>(i);
            break;
        }
        default: break;
    }
}
}  // namespace

void App::on_frame(Tunnel& t, std::span<const std::uint8_t> payload) {
    PortState& ps = *t.ps;
    bool first = !t.frames_seen;
    t.frames_seen = true;
    if (first && std::ranges::equal(payload, HEALTH_REQUEST)) {
        ps.stats.health += 1;
        output_.event(format("health {} {}", t.device, t.port));
        if (!t.silent) answer_health(t);
        return;
    }
    ps.stats.feedback += 1;
    ps.stats.feedback_bytes += payload.size();
    if (feedback_events_)
        output_.event(format("feedback {} {} {} {}", t.device, t.port, payload.size(),
                             to_hex(payload, FEEDBACK_REPORT_BYTES)));
    if (first) start_autostream(t);
    if (ps.echo && !t.silent) append_frame(t.out, payload);
}

// The answer goes out at once, MS later (late), or its prefix and the first half of its payload at
// once and the rest MS later (split); the port's autostream starts once the whole answer is out.
void App::answer_health(Tunnel& t) {
    const PortState& ps = *t.ps;
    if (ps.health == HealthMode::Ignore) {
        start_autostream(t);
        return;
    }
    std::vector<std::uint8_t> reply(4 + ps.health_reply.size());
    net::store_be32(reply.data(), static_cast<std::uint32_t>(ps.health_reply.size()));
    std::ranges::copy(ps.health_reply, reply.begin() + 4);
    std::size_t now_bytes = ps.health == HealthMode::Answer ? reply.size()
                            : ps.health == HealthMode::Late ? 0
                                                            : 4 + ps.health_reply.size() / 2;
    t.out.append(std::span(reply).first(now_bytes));
    if (now_bytes == reply.size()) {
        start_autostream(t);
        return;
    }
    reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(now_bytes));
    loop_.add_timer(monotonic_ns() + ps.late_ms * NS_PER_MS, [this, id = t.id, rest = std::move(reply)] {
        Tunnel* later = tunnels_.find(id);
        if (!later || later->silent) return;
        later->out.append(rest);
        start_autostream(*later);
        tunnels_.service(*later);
    });
}

void App::start_autostream(Tunnel& t) {
    if (!t.ps->autostream || t.gen) return;
    if (auto r = tunnels_.start_stream(t, *t.ps->autostream); !r)
        output_.event(format("stream-error {} {} {}", t.device, t.port, r.error()));
}

void App::on_stream_done(Tunnel& t, std::optional<FaultKind> then) {
    if (then) apply_fault(t, *then);
}

void App::apply_fault(Tunnel& t, FaultKind kind) {
    tunnels_.stop(t);
    std::uint64_t now = monotonic_ns();
    if (kind == FaultKind::Unplug) {
        // Deferred: the caller may still hold references into the device.
        loop_.add_timer(now, [this, device = t.device] { unplug(device); });
        return;
    }
    if (kind == FaultKind::Close) {
        // What is already queued still goes out first, unless the peer stops reading.
        t.closing = true;
        loop_.add_timer(now + CLOSE_GRACE_NS, [this, id = t.id] {
            if (Tunnel* later = tunnels_.find(id)) tunnels_.close(*later);
        });
    } else {
        write_fault_bytes(t.out, kind, t.port);
        t.silent = true;
    }
    tunnels_.service(t, now);
}

}  // namespace vantrel::sim
