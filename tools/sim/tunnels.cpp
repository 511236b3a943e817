#include "sim/tunnels.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/wire.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
// Rate-limited generators are woken at most once per millisecond, so that fast streams go out in
// batches of frames (one send each) rather than one syscall per frame.
constexpr std::uint64_t BATCH_GAP_NS = 1'000'000;
// A generator tops the write buffer up when it runs below LOW_WATER, to about HIGH_WATER: large
// enough that fast streams go out in few sends, small enough that a paused peer costs little memory.
constexpr std::size_t LOW_WATER = std::size_t{64} << 10;
constexpr std::size_t HIGH_WATER = std::size_t{256} << 10;
constexpr int MAX_SEND_ROUNDS = 16;
constexpr int MAX_RECV_ROUNDS = 16;
// Largest frame the simulated app accepts from the bridge; the bridge itself never writes more than 2048.
constexpr std::uint32_t MAX_APP_FRAME = 1 << 20;
constexpr std::size_t DATA_REPORT_BYTES = 64;

// A stream that the loop wakes on its own: not while it waits for the socket, nor while silent.
bool paced(const Tunnel& t) {
    return !t.dead && t.gen && !t.want_write && !t.silent;
}
}  // namespace

Tunnels::Tunnels(EventLoop& loop, Output& output, Devices& devices, TunnelHandler& app, bool stdin_is_script)
    : loop_(loop), output_(output), devices_(devices), app_(app), stdin_is_script_(stdin_is_script) {}

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
    t->ps = ps;
    ps->tunnel = id;
    ps->stats = {};
    output_.event(format("connect {} {}", device, port));
    Tunnel& tunnel = *tunnels_.emplace(id, std::move(t)).first->second;
    process_input(tunnel);
    service(tunnel);
}

Tunnel* Tunnels::find(std::uint64_t id) {
    auto it = tunnels_.find(id);
    return it == tunnels_.end() || it->second->dead ? nullptr : it->second.get();
}

Tunnel* Tunnels::of(std::uint32_t device, std::uint16_t port) {
    PortState* ps = devices_.port(device, port);
    return ps && ps->tunnel != 0 ? find(ps->tunnel) : nullptr;
}

bool Tunnels::on_ready(std::uint64_t key, std::uint32_t events) {
    if (key == ID_SOURCE) {
        stdin_source_watched_ = false;
        stdin_source_->mark_readable();
        for (auto& [id, t] : tunnels_)
            if (!t->dead && t->gen && t->gen->source() == stdin_source_.get()) service(*t);
        return true;
    }
    Tunnel* t = find(key);
    if (!t) return false;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        // While not reading, only a hang-up or an error is reported: the bridge is gone.
        for (int round = 0; round < MAX_RECV_ROUNDS && !t->dead; ++round) {
            std::uint8_t buf[65536];
            ssize_t n = t->reading ? ::recv(t->fd.get(), buf, sizeof buf, MSG_DONTWAIT) : 0;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n <= 0) {
                close(*t);  // the bridge closed its end (or the connection broke)
                return true;
            }
            t->in.insert(t->in.end(), buf, buf + n);
            process_input(*t);
        }
    }
    if (events & EPOLLOUT) service(*t);
    return true;
}

void Tunnels::process_input(Tunnel& t) {
    if (t.in.empty()) return;
    if (t.ps->raw) {
        output_.event(
            format("data {} {} {} {}", t.device, t.port, t.in.size(), to_hex(t.in, DATA_REPORT_BYTES)));
        if (t.ps->echo && !t.silent) t.out.append(t.in);
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
            app_.on_frame(t, std::span<const std::uint8_t>(t.in.data() + pos + 4, length));
            if (t.dead) return;
            pos += 4 + std::size_t{length};
        }
        t.in.erase(t.in.begin(), t.in.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    if (!t.out.empty()) service(t);
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
    std::uint64_t now = monotonic_ns();
    t.gen = std::make_unique<Generator>(settings, t.port, now, std::move(source));
    t.last_fill_ns = 0;
    t.silent = false;  // an explicit stream speaks again
    service(t, now);
    return {};
}

void Tunnels::write(Tunnel& t, std::span<const std::uint8_t> bytes, bool as_frame) {
    if (as_frame) {
        append_frame(t.out, bytes);
        t.ps->stats.sent += 1;
        t.ps->stats.bytes += bytes.size();
    } else {
        t.out.append(bytes);
    }
    service(t);
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
    if (!t.dead && t.gen && t.gen->finished() && t.out.empty()) {
        auto then = t.gen->settings().then;
        output_.event(format("stream-done {} {} sent={}", t.device, t.port, t.gen->sent()));
        t.gen.reset();
        app_.on_stream_done(t, then);
    }
    if (!t.dead && t.closing && t.out.empty()) close(t);
    if (t.dead) return;
    bool eager = t.gen && !t.silent && !t.closing && t.gen->settings().rate == 0 && !t.gen->finished() &&
                 !t.gen->starved();
    watch(t, t.reading, !t.out.empty() || eager);
    if (t.gen && t.gen->starved() && t.gen->source() == stdin_source_.get() && !stdin_source_watched_) {
        // One-shot: after its first report the descriptor stays in the set, disarmed.
        if (!loop_.watch(stdin_source_->fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT))
            loop_.modify(stdin_source_->fd(), ID_SOURCE, EPOLLIN | EPOLLONESHOT);
        stdin_source_watched_ = true;
    }
}

void Tunnels::watch(Tunnel& t, bool reading, bool want_write) {
    if ((t.reading == reading && t.want_write == want_write) || t.dead) return;
    t.reading = reading;
    t.want_write = want_write;
    loop_.modify(t.fd.get(), t.id, (reading ? EPOLLIN : 0u) | (want_write ? EPOLLOUT : 0u));
}

void Tunnels::close(Tunnel& t) {
    if (t.dead) return;
    t.dead = true;
    t.fd.reset();  // also leaves the epoll set
    if (t.ps->tunnel == t.id) t.ps->tunnel = 0;
    output_.event(format("disconnect {} {}", t.device, t.port));
}

void Tunnels::service_due(std::uint64_t now) {
    std::erase_if(tunnels_, [](const auto& entry) { return entry.second->dead; });
    for (auto& [id, t] : tunnels_)
        if (paced(*t) && t->gen->due(now) && now >= t->last_fill_ns + BATCH_GAP_NS) service(*t, now);
}

std::optional<std::uint64_t> Tunnels::next_due_ns() const {
    std::optional<std::uint64_t> next;
    for (const auto& [id, t] : tunnels_) {
        auto due = paced(*t) ? t->gen->next_due_ns() : std::nullopt;
        if (!due) continue;
        std::uint64_t at = std::max(*due, t->last_fill_ns + BATCH_GAP_NS);
        next = next ? std::min(*next, at) : at;
    }
    return next;
}

void Tunnels::each_open(const std::function<void(const Tunnel&)>& fn) const {
    for (const auto& [id, t] : tunnels_)
        if (!t->dead) fn(*t);
}

}  // namespace vantrel::sim
