// The app side: what a phone running the Vantrel app does on the far end of each tunnel. It reads the
// frames the bridge writes (health-check request, feedback), answers the health check, streams
// generated or file packets, and misbehaves on demand.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/simulator.h"
#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
// A generator tops the write buffer up when it runs below LOW_WATER, to about HIGH_WATER: large
// enough that fast streams go out in few sends, small enough that a paused peer costs little memory.
constexpr std::size_t LOW_WATER = std::size_t{64} << 10;
constexpr std::size_t HIGH_WATER = std::size_t{256} << 10;
constexpr int MAX_SEND_ROUNDS = 16;
constexpr int MAX_RECV_ROUNDS = 16;
// Largest frame the simulated app accepts from the bridge; the bridge itself never writes more than 2048.
constexpr std::uint32_t MAX_APP_FRAME = 1 << 20;
constexpr std::size_t FEEDBACK_REPORT_BYTES = 16;
constexpr std::size_t DATA_REPORT_BYTES = 64;
constexpr std::uint64_t CLOSE_GRACE_NS = 2'000'000'000;
constexpr std::uint8_t HEALTH_REQUEST[] = {0xFE, 0x00, 0x01};
// The bridge's receive limits: the over-length fault announces one byte more.
constexpr std::uint16_t TRACKING_PORT = 4242;
constexpr std::uint32_t TRACKING_LIMIT = 1024;
constexpr std::uint32_t VIDEO_LIMIT = 65536;
constexpr std::uint32_t HALF_FRAME_LENGTH = 100;
}  // namespace

void Simulator::become_tunnel(Conn& c, Device& device, std::uint16_t port) {
    PortState& ps = port_state(device, port);
    // One tunnel per port, as an app that serves one bridge: the newest connection replaces the old one.
    if (Conn* old = conn(ps.tunnel)) close_conn(*old);
    c.tunnel = true;
    c.device = device.id;
    c.port = port;
    ps.tunnel = c.id;
    ps.stats = {};
    event(format("connect {} {}", device.id, port));
}

void Simulator::on_tunnel_readable(Conn& c) {
    if (!c.reading) {
        close_conn(c);  // only a hang-up or an error is reported while not reading: the bridge is gone
        return;
    }
    std::uint8_t buf[65536];
    for (int round = 0; round < MAX_RECV_ROUNDS; ++round) {
        ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.insert(c.in.end(), buf, buf + n);
            process_tunnel_input(c);
            if (c.dead) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        close_conn(c);  // the bridge closed its end (or the connection broke)
        return;
    }
}

void Simulator::process_tunnel_input(Conn& c) {
    PortState* ps = find_port(c.device, c.port);
    if (!ps || c.in.empty()) return;
    if (ps->raw) {
        event(format("data {} {} {} {}", c.device, c.port, c.in.size(), to_hex(c.in, DATA_REPORT_BYTES)));
        if (ps->echo && !c.silent) c.out.append(c.in);
        c.in.clear();
    } else {
        std::size_t pos = 0;
        while (c.in.size() - pos >= 4) {
            std::uint32_t length = net::load_be32(c.in.data() + pos);
            if (length > MAX_APP_FRAME) {
                event(format("bad-frame {} {} {}", c.device, c.port, length));
                close_conn(c);
                return;
            }
            if (c.in.size() - pos - 4 < length) break;
            on_frame(c, std::span<const std::uint8_t>(c.in.data() + pos + 4, length));
            if (c.dead) return;
            pos += 4 + std::size_t{length};
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    if (!c.out.empty()) service(c, monotonic_ns());
}

void Simulator::on_frame(Conn& c, std::span<const std::uint8_t> payload) {
    PortState& ps = *find_port(c.device, c.port);
    bool first = !c.frames_seen;
    c.frames_seen = true;
    if (first && std::ranges::equal(payload, HEALTH_REQUEST)) {
        ps.stats.health += 1;
        event(format("health {} {}", c.device, c.port));
        if (!c.silent) answer_health(c, ps);
        return;
    }
    ps.stats.feedback += 1;
    ps.stats.feedback_bytes += payload.size();
    if (feedback_events_)
        event(format("feedback {} {} {} {}", c.device, c.port, payload.size(),
                     to_hex(payload, FEEDBACK_REPORT_BYTES)));
    if (first) start_autostream(c);
    if (ps.echo && !c.silent) append_frame(c.out, payload);
}

// The answer goes out at once, MS later (late), or its prefix and the first half of its payload at
// once and the rest MS later (split); the port's autostream starts once the whole answer is out.
void Simulator::answer_health(Conn& c, const PortState& ps) {
    if (ps.health == HealthMode::Ignore) {
        start_autostream(c);
        return;
    }
    std::vector<std::uint8_t> reply(4 + ps.health_reply.size());
    net::store_be32(reply.data(), static_cast<std::uint32_t>(ps.health_reply.size()));
    std::ranges::copy(ps.health_reply, reply.begin() + 4);
    std::size_t now_bytes = ps.health == HealthMode::Answer ? reply.size()
                            : ps.health == HealthMode::Late ? 0
                                                            : 4 + ps.health_reply.size() / 2;
    c.out.append(std::span(reply).first(now_bytes));
    if (now_bytes == reply.size()) {
        start_autostream(c);
        return;
    }
    reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(now_bytes));
    add_timer(monotonic_ns() + ps.late_ms * 1'000'000, [this, id = c.id, rest = std::move(reply)] {
        Conn* t = conn(id);
        if (!t || t->silent) return;
        t->out.append(rest);
        start_autostream(*t);
        service(*t, monotonic_ns());
    });
}

void Simulator::start_autostream(Conn& c) {
    PortState* ps = find_port(c.device, c.port);
    if (!ps || !ps->autostream || c.gen) return;
    if (auto r = start_stream(c, *ps->autostream); !r)
        event(format("stream-error {} {} {}", c.device, c.port, r.error()));
}

std::expected<void, std::string> Simulator::start_stream(Conn& c, const StreamSettings& settings) {
    std::shared_ptr<FileSource> source;
    if (settings.file == "-") {
        if (config_.script_stdin) return std::unexpected("standard input carries the script");
        if (!stdin_source_) {
            auto opened = FileSource::open("-", false);
            if (!opened) return std::unexpected(opened.error());
            stdin_source_ = std::move(*opened);
        }
        source = stdin_source_;
    } else if (!settings.file.empty()) {
        auto opened = FileSource::open(settings.file, settings.loop);
        if (!opened) return std::unexpected(opened.error());
        source = std::move(*opened);
    }
    drop_generator(c);
    std::uint64_t now = monotonic_ns();
    c.gen = std::make_unique<Generator>(settings, c.port, now, std::move(source));
    c.gen_reported_sent = c.gen_reported_bytes = 0;
    c.last_fill_ns = 0;
    c.silent = false;  // an explicit stream speaks again
    service(c, now);
    return {};
}

void Simulator::account(Conn& c) {
    if (!c.gen) return;
    PortState* ps = find_port(c.device, c.port);
    if (!ps) return;
    ps->stats.sent += c.gen->sent() - c.gen_reported_sent;
    ps->stats.bytes += c.gen->bytes() - c.gen_reported_bytes;
    c.gen_reported_sent = c.gen->sent();
    c.gen_reported_bytes = c.gen->bytes();
}

void Simulator::drop_generator(Conn& c) {
    account(c);
    c.gen.reset();
}

void Simulator::service(Conn& c, std::uint64_t now) {
    if (c.dead) return;
    for (int round = 0; round < MAX_SEND_ROUNDS; ++round) {
        if (c.gen && !c.silent && !c.closing && c.out.size() < LOW_WATER) {
            // One clock read per batch: every frame of the batch leaves in the same send.
            std::uint64_t t = c.gen->settings().stamp ? monotonic_ns() : now;
            c.gen->fill(c.out, t, HIGH_WATER);
            c.last_fill_ns = now;
        }
        if (c.out.empty()) break;
        ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.consume(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        close_conn(c);  // the peer is gone
        return;
    }
    account(c);
    if (c.gen && c.gen->finished() && c.out.empty()) {
        std::uint64_t sent = c.gen->sent();
        auto then = c.gen->settings().then;
        drop_generator(c);
        event(format("stream-done {} {} sent={}", c.device, c.port, sent));
        if (then) apply_fault(c, *then);
        if (c.dead) return;
    }
    if (c.closing && c.out.empty()) {
        close_conn(c);
        return;
    }
    bool eager = c.gen && !c.silent && !c.closing && c.gen->settings().rate == 0 && !c.gen->finished() &&
                 !c.gen->starved();
    set_want_write(c, !c.out.empty() || eager);
    if (c.gen && c.gen->starved() && c.gen->source() == stdin_source_.get()) watch_source(*stdin_source_);
}

void Simulator::apply_fault(Conn& c, FaultKind kind) {
    drop_generator(c);
    std::uint64_t now = monotonic_ns();
    switch (kind) {
        case FaultKind::Close: {
            // What is already queued still goes out first, unless the peer stops reading.
            c.closing = true;
            std::uint64_t id = c.id;
            add_timer(now + CLOSE_GRACE_NS, [this, id] {
                if (Conn* t = conn(id)) close_conn(*t);
            });
            break;
        }
        case FaultKind::ZeroLength:
            net::store_be32(c.out.grow(4), 0);
            c.silent = true;
            break;
        case FaultKind::OverLength:
            net::store_be32(c.out.grow(4), (c.port == TRACKING_PORT ? TRACKING_LIMIT : VIDEO_LIMIT) + 1);
            c.silent = true;
            break;
        case FaultKind::HalfPrefix: {
            std::uint8_t* p = c.out.grow(2);
            p[0] = p[1] = 0;
            c.silent = true;
            break;
        }
        case FaultKind::HalfFrame: {
            std::uint8_t* p = c.out.grow(4 + HALF_FRAME_LENGTH / 2);
            net::store_be32(p, HALF_FRAME_LENGTH);
            for (std::uint32_t i = 0; i < HALF_FRAME_LENGTH / 2; ++i) p[4 + i] = static_cast<std::uint8_t>(i);
            c.silent = true;
            break;
        }
        case FaultKind::Silent: c.silent = true; break;
        case FaultKind::Unplug: {
            // Deferred: the caller may still hold references into the device.
            std::uint32_t device = c.device;
            add_timer(now, [this, device] {
                if (find_device(device)) unplug(device);
            });
            return;
        }
    }
    service(c, now);
}

void Simulator::close_conn(Conn& c) {
    if (c.dead) return;
    account(c);
    c.dead = true;
    c.fd.reset();  // also leaves the epoll set
    dead_.push_back(c.id);
    if (!c.tunnel) return;
    if (PortState* ps = find_port(c.device, c.port); ps && ps->tunnel == c.id) ps->tunnel = 0;
    event(format("disconnect {} {}", c.device, c.port));
}

void Simulator::set_want_write(Conn& c, bool want) {
    if (c.want_write == want || c.dead) return;
    c.want_write = want;
    watch_conn(c);
}

void Simulator::set_reading(Conn& c, bool on) {
    if (c.reading == on || c.dead) return;
    c.reading = on;
    watch_conn(c);
}

void Simulator::watch_conn(Conn& c) {
    loop_.modify(c.fd.get(), c.id, (c.reading ? EPOLLIN : 0u) | (c.want_write ? EPOLLOUT : 0u));
}

void Simulator::watch_source(const FileSource& source) {
    if (stdin_source_watched_) return;
    // One-shot: after its first report the descriptor stays in the set, disarmed.
    if (!loop_.watch(source.fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT))
        loop_.modify(source.fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT);
    stdin_source_watched_ = true;
}

}  // namespace vantrel::sim
