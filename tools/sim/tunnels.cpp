#include "sim/tunnels.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/wire.h"
#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
// Rate-limited generators are woken at most once per millisecond, so that fast streams go out in
// batches of frames (one send each) rather than one syscall per frame.
constexpr std::uint64_t BATCH_GAP_NS = NS_PER_MS;
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

// Adds what the generator wrote since the last call to the port's counters.
void count_sent(Tunnel& t, PortState* ps) {
    if (!t.gen || !ps) return;
    ps->stats.sent += t.gen->sent() - t.gen_reported_sent;
    ps->stats.bytes += t.gen->bytes() - t.gen_reported_bytes;
    t.gen_reported_sent = t.gen->sent();
    t.gen_reported_bytes = t.gen->bytes();
}

// The broken bytes of a fault that writes any; after them the tunnel is silent.
bool write_fault_bytes(OutBuffer& out, FaultKind kind, std::uint16_t port) {
    switch (kind) {
        case FaultKind::ZeroLength: net::store_be32(out.grow(4), 0); return true;
        case FaultKind::OverLength:
            net::store_be32(out.grow(4), (port == TRACKING_PORT ? TRACKING_LIMIT : VIDEO_LIMIT) + 1);
            return true;
        case FaultKind::HalfPrefix: {
            std::uint8_t* p = out.grow(2);
            p[0] = p[1] = 0;
            return true;
        }
        case FaultKind::HalfFrame: {
            std::uint8_t* p = out.grow(4 + HALF_FRAME_LENGTH / 2);
            net::store_be32(p, HALF_FRAME_LENGTH);
            for (std::uint32_t i = 0; i < HALF_FRAME_LENGTH / 2; ++i) p[4 + i] = static_cast<std::uint8_t>(i);
            return true;
        }
        case FaultKind::Silent: return true;
        default: return false;
    }
}
}  // namespace

Tunnels::Tunnels(EventLoop& loop, Output& output, Devices& devices, bool stdin_is_script,
                 bool feedback_events)
    : loop_(loop),
      output_(output),
      devices_(devices),
      stdin_is_script_(stdin_is_script),
      feedback_events_(feedback_events) {}

void Tunnels::adopt(std::uint64_t id, net::Fd fd, OutBuffer out, std::vector<std::uint8_t> in,
                    std::uint32_t device, std::uint16_t port) {
    PortState* ps = devices_.port(device, port);
    // One tunnel per port, as an app that serves one bridge: the newest connection replaces the old one.
    if (Tunnel* old = find(ps->tunnel)) close(*old);
    auto t = std::make_unique<Tunnel>();
    t->id = id;
    t->fd = std::move(fd);
    t->out = std::move(out);
    t->in = std::move(in);
    t->device = device;
    t->port = port;
    ps->tunnel = id;
    ps->stats = {};
    output_.event(format("connect {} {}", device, port));
    Tunnel& tunnel = *tunnels_.emplace(id, std::move(t)).first->second;
    process_input(tunnel);
    if (!tunnel.dead) service(tunnel, monotonic_ns());
}

Tunnel* Tunnels::find(std::uint64_t id) {
    auto it = tunnels_.find(id);
    return it == tunnels_.end() || it->second->dead ? nullptr : it->second.get();
}

Tunnel* Tunnels::of(std::uint32_t device, std::uint16_t port) {
    PortState* ps = devices_.port(device, port);
    return ps && ps->tunnel != 0 ? find(ps->tunnel) : nullptr;
}

void Tunnels::on_ready(Tunnel& t, std::uint32_t events) {
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (!t.reading) {
            close(t);  // only a hang-up or an error is reported while not reading: the bridge is gone
            return;
        }
        std::uint8_t buf[65536];
        for (int round = 0; round < MAX_RECV_ROUNDS && !t.dead; ++round) {
            ssize_t n = ::recv(t.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) {
                close(t);  // the bridge closed its end (or the connection broke)
                return;
            }
            t.in.insert(t.in.end(), buf, buf + n);
            process_input(t);
        }
    }
    if (!t.dead && (events & EPOLLOUT)) service(t, monotonic_ns());
}

void Tunnels::process_input(Tunnel& t) {
    PortState* ps = devices_.port(t.device, t.port);
    if (!ps || t.in.empty()) return;
    if (ps->raw) {
        output_.event(
            format("data {} {} {} {}", t.device, t.port, t.in.size(), to_hex(t.in, DATA_REPORT_BYTES)));
        if (ps->echo && !t.silent) t.out.append(t.in);
        t.in.clear();
    } else {
        std::size_t pos = 0;
        while (t.in.size() - pos >= 4) {
            std::uint32_t length = net::load_be32(t.in.data() + pos);
            if (length > MAX_APP_FRAME) {
                output_.event(format("bad-frame {} {} {}", t.device, t.port, length));
                close(t);
                return;
            }
            if (t.in.size() - pos - 4 < length) break;
            on_frame(t, *ps, std::span<const std::uint8_t>(t.in.data() + pos + 4, length));
            if (t.dead) return;
            pos += 4 + std::size_t{length};
        }
        t.in.erase(t.in.begin(), t.in.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    if (!t.out.empty()) service(t, monotonic_ns());
}

void Tunnels::on_frame(Tunnel& t, PortState& ps, std::span<const std::uint8_t> payload) {
    bool first = !t.frames_seen;
    t.frames_seen = true;
    if (first && std::ranges::equal(payload, HEALTH_REQUEST)) {
        ps.stats.health += 1;
        output_.event(format("health {} {}", t.device, t.port));
        if (!t.silent) answer_health(t, ps);
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
void Tunnels::answer_health(Tunnel& t, const PortState& ps) {
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
        Tunnel* later = find(id);
        if (!later || later->silent) return;
        later->out.append(rest);
        start_autostream(*later);
        service(*later, monotonic_ns());
    });
}

void Tunnels::start_autostream(Tunnel& t) {
    PortState* ps = devices_.port(t.device, t.port);
    if (!ps || !ps->autostream || t.gen) return;
    if (auto r = start_stream(t, *ps->autostream); !r)
        output_.event(format("stream-error {} {} {}", t.device, t.port, r.error()));
}

std::expected<void, std::string> Tunnels::start_stream(Tunnel& t, const StreamSettings& settings) {
    std::shared_ptr<FileSource> source;
    if (settings.file == "-") {
        if (stdin_is_script_) return std::unexpected("standard input carries the script");
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
    stop(t);
    std::uint64_t now = monotonic_ns();
    t.gen = std::make_unique<Generator>(settings, t.port, now, std::move(source));
    t.gen_reported_sent = t.gen_reported_bytes = 0;
    t.last_fill_ns = 0;
    t.silent = false;  // an explicit stream speaks again
    service(t, now);
    return {};
}

void Tunnels::account(Tunnel& t) {
    count_sent(t, devices_.port(t.device, t.port));
}

void Tunnels::stop(Tunnel& t) {
    count_sent(t, devices_.port(t.device, t.port));
    t.gen.reset();
}

void Tunnels::write(Tunnel& t, std::span<const std::uint8_t> bytes, bool as_frame) {
    if (as_frame) {
        append_frame(t.out, bytes);
        if (PortState* ps = devices_.port(t.device, t.port)) {
            ps->stats.sent += 1;
            ps->stats.bytes += bytes.size();
        }
    } else {
        t.out.append(bytes);
    }
    service(t, monotonic_ns());
}

void Tunnels::service(Tunnel& t, std::uint64_t now) {
    if (t.dead) return;
    for (int round = 0; round < MAX_SEND_ROUNDS; ++round) {
        if (t.gen && !t.silent && !t.closing && t.out.size() < LOW_WATER) {
            // One clock read per batch: every frame of the batch leaves in the same send.
            std::uint64_t stamp_time = t.gen->settings().stamp ? monotonic_ns() : now;
            t.gen->fill(t.out, stamp_time, HIGH_WATER);
            t.last_fill_ns = now;
        }
        if (t.out.empty()) break;
        SendResult sent = send_front(t.fd.get(), t.out);
        if (sent == SendResult::Gone) {
            close(t);  // the peer is gone
            return;
        }
        if (sent == SendResult::Blocked) break;
    }
    count_sent(t, devices_.port(t.device, t.port));
    if (t.gen && t.gen->finished() && t.out.empty()) finish_stream(t);
    if (t.dead) return;
    if (t.closing && t.out.empty()) {
        close(t);
        return;
    }
    bool eager = t.gen && !t.silent && !t.closing && t.gen->settings().rate == 0 && !t.gen->finished() &&
                 !t.gen->starved();
    watch(t, !t.out.empty() || eager);
    if (t.gen && t.gen->starved() && t.gen->source() == stdin_source_.get() && !stdin_source_watched_) {
        // One-shot: after its first report the descriptor stays in the set, disarmed.
        if (!loop_.watch(stdin_source_->fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT))
            loop_.modify(stdin_source_->fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT);
        stdin_source_watched_ = true;
    }
}

void Tunnels::finish_stream(Tunnel& t) {
    std::uint64_t sent = t.gen->sent();
    auto then = t.gen->settings().then;
    stop(t);
    output_.event(format("stream-done {} {} sent={}", t.device, t.port, sent));
    if (then) apply_fault(t, *then);
}

void Tunnels::apply_fault(Tunnel& t, FaultKind kind) {
    stop(t);
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
            if (Tunnel* later = find(id)) close(*later);
        });
    } else if (write_fault_bytes(t.out, kind, t.port)) {
        t.silent = true;
    }
    service(t, now);
}

void Tunnels::set_reading(Tunnel& t, bool on) {
    if (t.reading == on || t.dead) return;
    t.reading = on;
    loop_.modify(t.fd.get(), t.id, (t.reading ? EPOLLIN : 0u) | (t.want_write ? EPOLLOUT : 0u));
}

void Tunnels::watch(Tunnel& t, bool want_write) {
    if (t.want_write == want_write || t.dead) return;
    t.want_write = want_write;
    loop_.modify(t.fd.get(), t.id, (t.reading ? EPOLLIN : 0u) | (t.want_write ? EPOLLOUT : 0u));
}

void Tunnels::close(Tunnel& t) {
    if (t.dead) return;
    PortState* ps = devices_.port(t.device, t.port);
    count_sent(t, ps);
    t.dead = true;
    t.fd.reset();  // also leaves the epoll set
    if (ps && ps->tunnel == t.id) ps->tunnel = 0;
    output_.event(format("disconnect {} {}", t.device, t.port));
}

void Tunnels::service_due(std::uint64_t now) {
    for (auto& [id, t] : tunnels_) {
        if (t->dead || !t->gen || t->want_write || t->silent) continue;
        if (t->gen->due(now) && now >= t->last_fill_ns + BATCH_GAP_NS) service(*t, now);
    }
}

std::optional<std::uint64_t> Tunnels::next_due_ns() const {
    std::optional<std::uint64_t> next;
    for (const auto& [id, t] : tunnels_) {
        if (t->dead || !t->gen || t->want_write || t->silent) continue;
        if (auto due = t->gen->next_due_ns()) {
            std::uint64_t at = std::max(*due, t->last_fill_ns + BATCH_GAP_NS);
            next = next ? std::min(*next, at) : at;
        }
    }
    return next;
}

void Tunnels::source_readable() {
    stdin_source_watched_ = false;
    if (!stdin_source_) return;
    stdin_source_->mark_readable();
    std::uint64_t now = monotonic_ns();
    for (auto& [id, t] : tunnels_)
        if (!t->dead && t->gen && t->gen->source() == stdin_source_.get()) service(*t, now);
}

void Tunnels::reap() {
    std::erase_if(tunnels_, [](const auto& entry) { return entry.second->dead; });
}

void Tunnels::each_open(const std::function<void(const Tunnel&, const PortState&)>& fn) {
    for (auto& [id, t] : tunnels_) {
        PortState* ps = devices_.port(t->device, t->port);
        if (t->dead || !ps) continue;
        count_sent(*t, ps);
        fn(*t, *ps);
    }
}

}  // namespace vantrel::sim
