#include "sim/simulator.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/wire.h"
#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
// Rate-limited generators are woken at most once per millisecond, so that fast streams go out in
// batches of frames (one send each) rather than one syscall per frame.
constexpr std::uint64_t BATCH_GAP_NS = NS_PER_MS;
}  // namespace

Simulator::Simulator(SimConfig config)
    : config_(std::move(config)),
      feedback_events_(config_.feedback_events),
      stdin_open_(config_.script_stdin) {
    // In script mode every feedback frame is reported; elsewhere only when asked for.
    if (config_.script_stdin || !config_.script.empty()) feedback_events_ = true;
}

Simulator::~Simulator() {
    if (!bound_unix_path_.empty()) ::unlink(bound_unix_path_.c_str());
}

std::expected<void, std::string> Simulator::start() {
    if (auto opened = loop_.open(); !opened) return opened;
    if (config_.unix_path)
        if (auto r = listen_unix(*config_.unix_path); !r) return r;
    if (config_.tcp_address)
        if (auto r = listen_tcp(*config_.tcp_address); !r) return r;
    return {};
}

void Simulator::emit(std::string_view line) {
    output_.append(line);
    output_.push_back('\n');
}

void Simulator::event(std::string_view text) {
    if (config_.quiet) return;
    output_.append("event ");
    emit(text);
}

void Simulator::flush_output() {
    net::write_whole(STDOUT_FILENO, output_);  // when nobody reads standard output any more, it is dropped
    output_.clear();
}

void Simulator::add_timer(std::uint64_t when_ns, std::function<void()> fn) {
    loop_.add_timer(when_ns, std::move(fn));
}

Simulator::Device* Simulator::find_device(std::uint32_t id) {
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : &it->second;
}

Simulator::PortState* Simulator::find_port(std::uint32_t device, std::uint16_t port) {
    Device* d = find_device(device);
    if (!d) return nullptr;
    auto it = d->ports.find(port);
    return it == d->ports.end() ? nullptr : &it->second;
}

Simulator::PortState& Simulator::port_state(Device& device, std::uint16_t port) {
    return device.ports[port];
}

Simulator::Conn* Simulator::conn(std::uint64_t id) {
    auto it = conns_.find(id);
    return it == conns_.end() || it->second->dead ? nullptr : it->second.get();
}

Simulator::Conn* Simulator::tunnel_of(std::uint32_t device, std::uint16_t port) {
    PortState* ps = find_port(device, port);
    return ps && ps->tunnel != 0 ? conn(ps->tunnel) : nullptr;
}

std::uint32_t Simulator::plug(const std::string& serial) {
    std::uint32_t id = next_device_id_++;
    Device& d = devices_[id];
    d.id = id;
    d.serial = serial;
    for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) d.ports[port].listening = true;
    return id;
}

void Simulator::unplug(std::uint32_t id) {
    // Like the real daemon: the device leaves the list and every tunnel to it is closed at once.
    for (auto& [cid, c] : conns_)
        if (!c->dead && c->tunnel && c->device == id) close_conn(*c);
    devices_.erase(id);
}

void Simulator::reply(const std::string& text, bool quiet) {
    if (!quiet || text.starts_with("error")) emit(text);
}

void Simulator::push_line(std::string_view line) {
    if (!is_command_line(line)) return;
    queue_.push_back(Queued{parse_command(line), false});
}

void Simulator::read_stdin() {
    char buf[65536];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) {
        stdin_text_.append(buf, static_cast<std::size_t>(n));
        std::size_t line_start = 0;
        for (std::size_t nl; (nl = stdin_text_.find('\n', line_start)) != std::string::npos;
             line_start = nl + 1)
            push_line(std::string_view(stdin_text_).substr(line_start, nl - line_start));
        stdin_text_.erase(0, line_start);
        return;
    }
    // End of the script (or a read error): finish the queued commands, then end.
    if (!stdin_text_.empty()) push_line(stdin_text_);
    stdin_text_.clear();
    stdin_open_ = false;
    loop_.unwatch(STDIN_FILENO);
}

void Simulator::run_commands() {
    std::uint64_t now = monotonic_ns();
    while (!quit_) {
        if (pending_) {
            auto r = check_pending(now);
            if (!r) return;
            reply(*r, pending_ ? pending_->quiet : false);
            pending_.reset();
            continue;
        }
        if (queue_.empty()) {
            if (config_.script_stdin && !stdin_open_) quit_ = true;
            return;
        }
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (!q.command) {
            reply("error: " + q.command.error(), q.quiet);
            continue;
        }
        auto r = execute(*q.command, q.quiet, now);
        if (r) {
            reply(*r, q.quiet);
            pending_.reset();
        }
    }
}

std::optional<std::string> Simulator::check_pending(std::uint64_t now) {
    const Pending& p = *pending_;
    const Command& c = p.command;
    using Op = Command::Op;
    std::optional<std::string> r;
    PortState* ps = find_port(c.device, c.port);
    switch (c.op) {
        case Op::WaitConnect:
            if (!find_device(c.device))
                r = format("error: no device {}", c.device);
            else if (ps && ps->tunnel != 0)
                r = "ok";
            break;
        case Op::WaitDisconnect:
        case Op::Close:
        case Op::Fault:
            if (!conn(p.tunnel)) r = "ok";
            break;
        case Op::WaitHealth:
        case Op::WaitFeedback:
            if (!find_device(c.device))
                r = format("error: no device {}", c.device);
            else if (ps && ps->tunnel != 0 &&
                     (c.op == Op::WaitHealth ? ps->stats.health > 0 : ps->stats.feedback >= c.count))
                r = "ok";
            break;
        case Op::WaitStream:
            if (Conn* t = conn(p.tunnel); !t)
                r = "error: tunnel closed";
            else if (!t->gen)
                r = "ok";
            break;
        case Op::Sleep:
            if (now >= p.deadline_ns) r = "ok";
            break;
        default: r = "ok";
    }
    if (!r && now >= p.deadline_ns) r = "error: timeout";
    return r;
}

std::optional<std::string> Simulator::execute(const Command& c, bool quiet, std::uint64_t now) {
    using Op = Command::Op;
    auto no_device = [&] { return format("error: no device {}", c.device); };
    auto no_tunnel = [&] { return format("error: no tunnel to {} {}", c.device, c.port); };
    auto wait = [&](std::uint64_t tunnel, std::uint64_t ms) -> std::optional<std::string> {
        pending_ = Pending{c, quiet, now + ms * NS_PER_MS, tunnel};
        return check_pending(now);
    };

    switch (c.op) {
        case Op::Plug: return format("ok id={}", plug(c.serial));
        case Op::Devices: {
            std::string ids;
            for (const auto& [id, d] : devices_) ids += (ids.empty() ? "" : ",") + std::to_string(id);
            return devices_.empty() ? std::string("ok count=0")
                                    : format("ok count={} ids={}", devices_.size(), ids);
        }
        case Op::ListReplyMode:
            list_reply_ = c.list_reply;
            list_length_ = c.list_length;
            return "ok";
        case Op::ConnectReplyMode: connect_reply_ = c.connect_reply; return "ok";
        case Op::Events: feedback_events_ = c.on; return "ok";
        case Op::Sleep: return wait(0, c.ms);
        case Op::Quit: quit_ = true; return "ok";
        default: break;
    }

    Device* d = find_device(c.device);
    if (!d) return no_device();
    if (c.op == Op::Unplug || (c.op == Op::Fault && c.fault == FaultKind::Unplug)) {
        unplug(c.device);
        return "ok";
    }
    switch (c.op) {
        case Op::Listen: {
            PortState& ps = port_state(*d, c.port);
            ps.listening = c.on;
            ps.refuse_until_ns = 0;
            return "ok";
        }
        case Op::Refuse: {
            PortState& ps = port_state(*d, c.port);
            ps.listening = true;
            ps.refuse_until_ns = now + c.ms * NS_PER_MS;
            return "ok";
        }
        case Op::Health: {
            PortState& ps = port_state(*d, c.port);
            ps.health = c.health;
            ps.late_ms = c.ms;
            if (!c.bytes.empty()) ps.health_reply = c.bytes;
            return "ok";
        }
        case Op::Mode: port_state(*d, c.port).raw = c.on; return "ok";
        case Op::Echo: port_state(*d, c.port).echo = c.on; return "ok";
        case Op::AutoStream:
            if (c.on)
                port_state(*d, c.port).autostream = c.stream;
            else
                port_state(*d, c.port).autostream.reset();
            return "ok";
        case Op::Stats: {
            Conn* t = tunnel_of(c.device, c.port);
            if (t) account(*t);
            PortState* ps = find_port(c.device, c.port);
            Stats s = ps ? ps->stats : Stats{};
            return format("ok connected={} sent={} bytes={} feedback={} feedback_bytes={} health={}",
                          t ? 1 : 0, s.sent, s.bytes, s.feedback, s.feedback_bytes, s.health);
        }
        case Op::WaitConnect:
        case Op::WaitHealth:
        case Op::WaitFeedback: return wait(0, c.ms);
        case Op::WaitDisconnect: {
            Conn* t = tunnel_of(c.device, c.port);
            return wait(t ? t->id : 0, c.ms);
        }
        default: break;
    }

    // Everything else acts on the current tunnel.
    Conn* t = tunnel_of(c.device, c.port);
    if (!t) return no_tunnel();
    switch (c.op) {
        case Op::WaitStream: return wait(t->id, c.ms);
        case Op::Send: {
            append_frame(t->out, c.bytes);
            PortState& ps = port_state(*d, c.port);
            ps.stats.sent += 1;
            ps.stats.bytes += c.bytes.size();
            service(*t, now);
            return "ok";
        }
        case Op::Raw:
            t->out.append(c.bytes);
            service(*t, now);
            return "ok";
        case Op::Stream:
            if (auto r = start_stream(*t, c.stream); !r) return "error: " + r.error();
            return "ok";
        case Op::Stop:
            account(*t);
            t->gen.reset();
            return "ok";
        case Op::Silent: apply_fault(*t, FaultKind::Silent); return "ok";
        case Op::Read: set_reading(*t, c.on); return "ok";
        case Op::Close:
        case Op::Fault: {
            std::uint64_t id = t->id;
            apply_fault(*t, c.op == Op::Close ? FaultKind::Close : c.fault);
            if (c.op == Op::Close || c.fault == FaultKind::Close) return wait(id, UINT32_MAX);
            return "ok";
        }
        default: return "error: unsupported command";
    }
}

std::optional<std::uint64_t> Simulator::next_wakeup_ns() const {
    std::optional<std::uint64_t> wake;
    auto consider = [&](std::uint64_t t) { wake = wake ? std::min(*wake, t) : t; };
    if (auto t = loop_.next_timer_ns()) consider(*t);
    if (pending_) consider(pending_->deadline_ns);
    for (const auto& [id, c] : conns_) {
        if (c->dead || !c->gen || c->want_write || c->silent) continue;
        if (auto due = c->gen->next_due_ns()) consider(std::max(*due, c->last_fill_ns + BATCH_GAP_NS));
    }
    return wake;
}

void Simulator::print_progress(std::uint64_t now) {
    std::uint64_t seconds = (now - start_ns_ + NS_PER_MS * 500) / (NS_PER_MS * 1000);
    for (auto& [id, c] : conns_) {
        if (c->dead || !c->tunnel) continue;
        account(*c);
        const PortState* ps = find_port(c->device, c->port);
        if (!ps) continue;
        emit(format("progress t={} device={} port={} sent={} bytes={} feedback={}", seconds, c->device,
                    c->port, ps->stats.sent, ps->stats.bytes, ps->stats.feedback));
    }
    add_timer(now + 1000 * NS_PER_MS, [this] { print_progress(monotonic_ns()); });
}

int Simulator::run() {
    start_ns_ = monotonic_ns();
    for (const Command& c : config_.startup) queue_.push_back(Queued{c, true});
    run_commands();
    emit("ready");
    flush_output();

    for (const Command& c : config_.script) queue_.push_back(Queued{c, false});
    for (const auto& [ms, c] : config_.scheduled)
        add_timer(start_ns_ + ms * NS_PER_MS, [this, c] { queue_.push_back(Queued{c, true}); });
    if (config_.duration_ms)
        add_timer(start_ns_ + *config_.duration_ms * NS_PER_MS, [this] { quit_ = true; });
    if (config_.progress) add_timer(start_ns_ + 1000 * NS_PER_MS, [this] { print_progress(monotonic_ns()); });
    if (config_.script_stdin) {
        if (!loop_.watch(STDIN_FILENO, ID_STDIN)) {
            // A regular file cannot be polled: it is always readable, so read it all now.
            while (stdin_open_) read_stdin();
        }
    }

    while (!quit_) {
        std::uint64_t now = monotonic_ns();
        loop_.run_timers(now);
        for (auto& [id, c] : conns_) {
            if (c->dead || !c->gen || c->want_write || c->silent) continue;
            if (c->gen->due(now) && now >= c->last_fill_ns + BATCH_GAP_NS) service(*c, now);
        }
        run_commands();
        for (std::uint64_t id : dead_) conns_.erase(id);
        dead_.clear();
        flush_output();
        if (quit_) break;

        auto ready = loop_.wait(next_wakeup_ns());
        if (loop_.stopped()) quit_ = true;
        now = monotonic_ns();
        for (const epoll_event& e : ready) {
            std::uint64_t key = e.data.u64;
            std::uint32_t what = e.events;
            if (key == ID_UNIX) {
                accept_clients(unix_listener_.get(), false);
            } else if (key == ID_TCP) {
                accept_clients(tcp_listener_.get(), true);
            } else if (key == ID_STDIN) {
                read_stdin();
            } else if (key == ID_SOURCE) {
                stdin_source_watched_ = false;
                if (stdin_source_) stdin_source_->mark_readable();
                for (auto& [id, c] : conns_)
                    if (!c->dead && c->gen && c->gen->source() == stdin_source_.get()) service(*c, now);
            } else if (Conn* c = conn(key)) {
                if (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    if (c->tunnel)
                        on_tunnel_readable(*c);
                    else
                        on_daemon_readable(*c);
                }
                if (!c->dead && (what & EPOLLOUT)) service(*c, now);
            }
        }
    }
    flush_output();
    return 0;
}

}  // namespace vantrel::sim
