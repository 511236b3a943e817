#include "sim/tunnels.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_S = 1'000'000'000;
// Rate-limited generators are woken at most once per millisecond, so that fast streams go out in
// batches of frames (one send each) rather than one syscall per frame.
constexpr std::uint64_t BATCH_GAP_NS = 1'000'000;
// A generator tops the write buffer up when it runs below LOW_WATER, to about HIGH_WATER: large
// enough that fast streams go out in few sends, small enough that a paused peer costs little memory.
constexpr std::size_t LOW_WATER = std::size_t{64} << 10;
constexpr std::size_t HIGH_WATER = std::size_t{256} << 10;
constexpr int MAX_SEND_ROUNDS = 16;
constexpr int MAX_RECV_ROUNDS = 16;
constexpr std::size_t RECV_CHUNK = 65536;
// Largest frame the simulated app accepts from the bridge; the bridge itself never writes more than 2048.
constexpr std::uint32_t MAX_APP_FRAME = 1 << 20;
// Before the first watch: differs from every real set of events, so that the first one is applied.
constexpr std::uint32_t UNWATCHED = UINT32_MAX;
}  // namespace

struct Tunnels::Tunnel {
    TunnelId id = 0;
    net::Fd fd;
    std::uint32_t device = 0;
    std::uint16_t port = 0;
    PortState* ps = nullptr;  // the port's settings and counters; none once closed
    std::vector<std::uint8_t> in;
    OutBuffer out;
    bool dead = false;
    bool frames_seen = false;
    bool silent = false;
    bool closing = false;
    std::uint32_t watched = UNWATCHED;  // the events the epoll set has for it
    std::unique_ptr<Generator> gen;
    std::uint64_t last_fill_ns = 0;
    // A paced reader may have read `allowed(now) - consumed` more bytes; the credit of more than a
    // tenth of a second is forgotten, so that a pause does not buy a burst.
    ReadPace pace;
    std::uint64_t pace_start_ns = 0;
    std::uint64_t consumed = 0;

    std::uint64_t allowed(std::uint64_t now) const {
        std::uint64_t elapsed = now > pace_start_ns ? now - pace_start_ns : 0;
        std::uint64_t rate = pace.bytes_per_second;
        return (elapsed / NS_PER_S) * rate + (elapsed % NS_PER_S) * rate / NS_PER_S;
    }
    std::uint64_t credit(std::uint64_t now) {
        std::uint64_t cap = std::max<std::uint64_t>(pace.bytes_per_second / 10, quantum());
        std::uint64_t have = allowed(now) - consumed;
        if (have > cap) consumed += have - cap;
        return std::min(have, cap);
    }
    // A paced reader wakes about a hundred times a second.
    std::uint64_t quantum() const { return std::max<std::uint64_t>(pace.bytes_per_second / 100, 1); }
    // When a paced reader without credit has a quantum's worth again.
    std::optional<std::uint64_t> read_due_ns() const {
        std::uint64_t rate = pace.bytes_per_second;
        if (dead || !pace.on || rate == 0 || (watched != UNWATCHED && (watched & EPOLLIN)))
            return std::nullopt;
        std::uint64_t target = consumed + quantum();
        return pace_start_ns + (target / rate) * NS_PER_S + ((target % rate) * NS_PER_S + rate - 1) / rate;
    }
    // A paced reader reads a quantum at a time: a read for every byte of credit would keep the loop busy.
    bool reading(std::uint64_t now) {
        return pace.on && (pace.bytes_per_second == 0 || credit(now) >= quantum());
    }
    // A stream that the loop wakes on its own: not while it waits for the socket, nor while silent.
    bool paced_stream() const {
        return !dead && gen && !silent && (watched == UNWATCHED || !(watched & EPOLLOUT));
    }
};

Tunnels::Tunnels(EventLoop& loop, Devices& devices, bool stdin_is_script)
    : loop_(loop), devices_(devices), stdin_is_script_(stdin_is_script) {}

Tunnels::~Tunnels() = default;

Tunnels::Tunnel* Tunnels::find(TunnelId id) const {
    auto it = tunnels_.find(id);
    return it == tunnels_.end() || it->second->dead ? nullptr : it->second.get();
}

void Tunnels::report(const Tunnel& t, TunnelEvent::Kind kind) {
    events_.push_back(TunnelEvent{.kind = kind, .tunnel = t.id, .device = t.device, .port = t.port});
}

void Tunnels::adopt(TunnelId id, net::Fd fd, OutBuffer out, std::vector<std::uint8_t> in,
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
    t->ps = ps;
    ps->tunnel = id;
    ps->stats = {};
    Tunnel& tunnel = *tunnels_.emplace(id, std::move(t)).first->second;
    report(tunnel, TunnelEvent::Kind::Connected);
    process_input(tunnel);
    if (!tunnel.dead) service(tunnel);
}

std::optional<TunnelId> Tunnels::current(std::uint32_t device, std::uint16_t port) const {
    const PortState* ps = devices_.port(device, port);
    if (!ps || !find(ps->tunnel)) return std::nullopt;
    return ps->tunnel;
}

std::vector<std::pair<std::uint32_t, std::uint16_t>> Tunnels::open_ports() const {
    std::vector<std::pair<std::uint32_t, std::uint16_t>> ports;
    for (const auto& [id, t] : tunnels_)
        if (!t->dead) ports.emplace_back(t->device, t->port);
    return ports;
}

bool Tunnels::streaming(TunnelId id) const {
    Tunnel* t = find(id);
    return t && t->gen;
}

bool Tunnels::silent(TunnelId id) const {
    Tunnel* t = find(id);
    return t && t->silent;
}

void Tunnels::on_ready(TunnelId id, std::uint32_t events) {
    Tunnel* t = find(id);
    if (!t) return;
    std::uint64_t now = monotonic_ns();
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (t->reading(now))
            read_input(*t, now);
        else if (events & (EPOLLHUP | EPOLLERR))
            close(*t);  // not reading: only a hang-up or an error is reported, and the bridge is gone
    }
    if (t->dead) return;
    if (events & EPOLLOUT)
        service(*t, now);
    else
        watch(*t);
}

void Tunnels::on_source_ready() {
    stdin_source_watched_ = false;
    stdin_source_->mark_readable();
    for (auto& [id, t] : tunnels_)
        if (!t->dead && t->gen && t->gen->source() == stdin_source_.get()) service(*t);
}

void Tunnels::read_input(Tunnel& t, std::uint64_t now) {
    for (int round = 0; round < MAX_RECV_ROUNDS && !t.dead; ++round) {
        std::size_t want = RECV_CHUNK;
        if (t.pace.bytes_per_second > 0)
            want = static_cast<std::size_t>(std::min<std::uint64_t>(want, t.credit(now)));
        if (want == 0) break;
        std::uint8_t buf[RECV_CHUNK];
        ssize_t n = ::recv(t.fd.get(), buf, want, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            close(t);  // the bridge closed its end (or the connection broke)
            return;
        }
        t.consumed += static_cast<std::uint64_t>(n);
        t.in.insert(t.in.end(), buf, buf + n);
        process_input(t);
    }
}

void Tunnels::process_input(Tunnel& t) {
    if (t.in.empty()) return;
    if (t.ps->raw) {
        report(t, TunnelEvent::Kind::Data);
        events_.back().bytes = std::exchange(t.in, {});
        return;
    }
    std::size_t pos = 0;
    while (t.in.size() - pos >= 4) {
        std::uint32_t length = net::load_be32(t.in.data() + pos);
        if (length > MAX_APP_FRAME) {
            report(t, TunnelEvent::Kind::BadFrame);
            events_.back().number = length;
            close(t);
            return;
        }
        if (t.in.size() - pos - 4 < length) break;
        report(t, TunnelEvent::Kind::Frame);
        auto payload = t.in.begin() + static_cast<std::ptrdiff_t>(pos + 4);
        events_.back().bytes.assign(payload, payload + length);
        events_.back().first = !std::exchange(t.frames_seen, true);
        pos += 4 + std::size_t{length};
    }
    t.in.erase(t.in.begin(), t.in.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::expected<void, std::string> Tunnels::start_stream(TunnelId id, const StreamSettings& settings) {
    Tunnel* t = find(id);
    if (!t) return fail("the tunnel is closed");
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
    std::uint64_t now = monotonic_ns();
    t->gen = std::make_unique<Generator>(settings, t->port, now, std::move(source));
    t->last_fill_ns = 0;
    t->silent = false;  // an explicit stream speaks again
    service(*t, now);
    return {};
}

void Tunnels::write(TunnelId id, std::span<const std::uint8_t> bytes, Framing framing) {
    Tunnel* t = find(id);
    if (!t) return;
    if (framing == Framing::Raw) {
        t->out.append(bytes);
    } else {
        append_frame(t->out, bytes);
        if (framing == Framing::CountedFrame) {
            t->ps->stats.sent += 1;
            t->ps->stats.bytes += bytes.size();
        }
    }
    service(*t);
}

void Tunnels::stop_stream(TunnelId id) {
    if (Tunnel* t = find(id)) {
        t->gen.reset();
        watch(*t);
    }
}

void Tunnels::silence(TunnelId id) {
    if (Tunnel* t = find(id)) {
        t->silent = true;
        stop_stream(id);
    }
}

void Tunnels::set_read_pace(TunnelId id, ReadPace pace) {
    Tunnel* t = find(id);
    if (!t) return;
    t->pace = pace;
    t->pace_start_ns = monotonic_ns();
    t->consumed = 0;
    watch(*t);
}

void Tunnels::close_when_sent(TunnelId id) {
    if (Tunnel* t = find(id)) {
        t->gen.reset();
        t->closing = true;
        service(*t);
    }
}

void Tunnels::close(TunnelId id) {
    if (Tunnel* t = find(id)) close(*t);
}

void Tunnels::unplug(std::uint32_t device) {
    for (auto& [id, t] : tunnels_)
        if (!t->dead && t->device == device) close(*t);
    devices_.erase(device);
}

void Tunnels::service(Tunnel& t, std::uint64_t now) {
    for (int round = 0; round < MAX_SEND_ROUNDS && !t.dead; ++round) {
        if (t.gen && !t.silent && !t.closing && t.out.size() < LOW_WATER) {
            std::uint64_t sent = t.gen->sent(), bytes = t.gen->bytes();
            // One clock read per batch: every frame of the batch leaves in the same send.
            t.gen->fill(t.out, t.gen->settings().stamp ? monotonic_ns() : now, HIGH_WATER);
            t.last_fill_ns = now;
            t.ps->stats.sent += t.gen->sent() - sent;
            t.ps->stats.bytes += t.gen->bytes() - bytes;
        }
        if (t.out.empty()) break;
        SendResult sent = send_front(t.fd.get(), t.out);
        if (sent == SendResult::Gone) close(t);  // the peer is gone
        if (sent != SendResult::Progress) break;
    }
    if (t.dead) return;
    if (t.gen && t.gen->finished() && t.out.empty()) {
        report(t, TunnelEvent::Kind::StreamDone);
        events_.back().number = t.gen->sent();
        events_.back().then = t.gen->settings().then;
        t.gen.reset();
    }
    if (t.closing && t.out.empty()) {
        close(t);
        return;
    }
    watch(t);
    if (t.gen && t.gen->starved() && t.gen->source() == stdin_source_.get() && !stdin_source_watched_) {
        // One-shot: after its first report the descriptor stays in the set, disarmed.
        Key key{Key::Source::StreamSource};
        if (!loop_.watch(stdin_source_->fd(), key, EPOLLIN | EPOLLONESHOT))
            loop_.modify(stdin_source_->fd(), key, EPOLLIN | EPOLLONESHOT);
        stdin_source_watched_ = true;
    }
}

void Tunnels::watch(Tunnel& t) {
    bool eager = t.gen && !t.silent && !t.closing && t.gen->settings().rate == 0 && !t.gen->finished() &&
                 !t.gen->starved();
    std::uint32_t events =
        (t.reading(monotonic_ns()) ? EPOLLIN : 0u) | (!t.out.empty() || eager ? EPOLLOUT : 0u);
    if (events == t.watched) return;
    t.watched = events;
    loop_.modify(t.fd.get(), Key{Key::Source::Tunnel, t.id}, events);
}

void Tunnels::close(Tunnel& t) {
    if (t.dead) return;
    t.dead = true;
    t.fd.reset();  // also leaves the epoll set
    if (t.ps->tunnel == t.id) t.ps->tunnel = 0;
    t.ps = nullptr;
    report(t, TunnelEvent::Kind::Closed);
}

void Tunnels::service_due(std::uint64_t now) {
    std::erase_if(tunnels_, [](const auto& entry) { return entry.second->dead; });
    for (auto& [id, t] : tunnels_) {
        if (t->dead) continue;
        if (t->paced_stream() && t->gen->due(now) && now >= t->last_fill_ns + BATCH_GAP_NS) service(*t, now);
        // Apart from the stream: a stream that is always due must not keep a paced reader waiting.
        if (auto due = t->read_due_ns(); !t->dead && due && now >= *due) watch(*t);  // it has credit again
    }
}

std::optional<std::uint64_t> Tunnels::next_due_ns() const {
    std::optional<std::uint64_t> next;
    auto consider = [&](std::uint64_t at) { next = next ? std::min(*next, at) : at; };
    for (const auto& [id, t] : tunnels_) {
        if (auto due = t->paced_stream() ? t->gen->next_due_ns() : std::nullopt)
            consider(std::max(*due, t->last_fill_ns + BATCH_GAP_NS));
        if (auto due = t->read_due_ns()) consider(*due);
    }
    return next;
}

}  // namespace vantrel::sim
