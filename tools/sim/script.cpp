#include "sim/script.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_MS = 1'000'000;
using Op = Command::Op;
}  // namespace

ScriptRunner::ScriptRunner(Output& output, Devices& devices, Tunnels& tunnels, App& app, Daemon& daemon,
                           bool stdin_script)
    : output_(output),
      devices_(devices),
      tunnels_(tunnels),
      app_(app),
      daemon_(daemon),
      stdin_script_(stdin_script),
      stdin_open_(stdin_script) {}

void ScriptRunner::push(std::expected<Command, std::string> command, bool quiet) {
    queue_.push_back(Queued{std::move(command), quiet});
}

void ScriptRunner::read_stdin() {
    auto push_line = [this](std::string_view line) {
        if (is_command_line(line)) push(parse_command(line), false);
    };
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
}

void ScriptRunner::run(std::uint64_t now) {
    while (!quit_) {
        // What the last command did to the tunnels is reported before its reply.
        app_.settle();
        if (pending_) {
            auto r = check_pending(now);
            if (!r) return;
            reply(*r, pending_ ? pending_->quiet : false);
            pending_.reset();
            continue;
        }
        if (queue_.empty()) {
            if (stdin_script_ && !stdin_open_) quit_ = true;
            return;
        }
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (!q.command) {
            reply("error: " + q.command.error(), q.quiet);
            continue;
        }
        if (auto r = execute(*q.command, q.quiet, now)) {
            app_.settle();
            reply(*r, q.quiet);
            pending_.reset();
        }
    }
}

std::optional<std::uint64_t> ScriptRunner::deadline_ns() const {
    if (!pending_) return std::nullopt;
    return pending_->deadline_ns;
}

void ScriptRunner::reply(const std::string& text, bool quiet) {
    if (!quiet || text.starts_with("error")) output_.line(text);
}

std::optional<std::string> ScriptRunner::wait(const Command& c, bool quiet, std::uint64_t now,
                                              TunnelId tunnel, std::uint64_t ms) {
    pending_ = Pending{c, quiet, now + ms * NS_PER_MS, tunnel};
    return check_pending(now);
}

std::optional<std::string> ScriptRunner::check_pending(std::uint64_t now) {
    const Pending& p = *pending_;
    const Command& c = p.command;
    std::optional<std::string> r;
    PortState* ps = devices_.port(c.device, c.port);
    switch (c.op) {
        case Op::WaitConnect:
            if (!devices_.find(c.device))
                r = format("error: no device {}", c.device);
            else if (ps && ps->tunnel != 0)
                r = "ok";
            break;
        case Op::WaitDisconnect:
        case Op::Close:
        case Op::Fault:
            if (!tunnels_.is_open(p.tunnel)) r = "ok";
            break;
        case Op::WaitHealth:
        case Op::WaitFeedback:
            if (!devices_.find(c.device))
                r = format("error: no device {}", c.device);
            else if (ps && ps->tunnel != 0 &&
                     (c.op == Op::WaitHealth ? ps->stats.health > 0 : ps->stats.feedback >= c.count))
                r = "ok";
            break;
        case Op::WaitStream:
            if (!tunnels_.is_open(p.tunnel))
                r = "error: tunnel closed";
            else if (!tunnels_.streaming(p.tunnel))
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

// The reply, or nullopt when the command waits (its reply comes from check_pending).
std::optional<std::string> ScriptRunner::execute(const Command& c, bool quiet, std::uint64_t now) {
    constexpr Op GLOBAL[] = {Op::Plug,   Op::Devices, Op::ListReplyMode, Op::ConnectReplyMode,
                             Op::Events, Op::Sleep,   Op::Quit};
    constexpr Op PORT[] = {Op::Listen,     Op::Refuse,       Op::Health,        Op::Mode,
                           Op::Echo,       Op::AutoStream,   Op::Stats,         Op::WaitConnect,
                           Op::WaitHealth, Op::WaitFeedback, Op::WaitDisconnect};
    if (std::ranges::find(GLOBAL, c.op) != std::end(GLOBAL)) return global_command(c, quiet, now);
    Device* d = devices_.find(c.device);
    if (!d) return format("error: no device {}", c.device);
    if (c.op == Op::Unplug || (c.op == Op::Fault && c.fault == FaultKind::Unplug)) {
        tunnels_.unplug(c.device);
        return "ok";
    }
    if (std::ranges::find(PORT, c.op) != std::end(PORT)) return port_command(c, *d, quiet, now);
    // Everything else acts on the current tunnel.
    auto id = tunnels_.current(c.device, c.port);
    if (!id) return format("error: no tunnel to {} {}", c.device, c.port);
    return tunnel_command(c, *id, quiet, now);
}

// Commands that name no device.
std::optional<std::string> ScriptRunner::global_command(const Command& c, bool quiet, std::uint64_t now) {
    switch (c.op) {
        case Op::Plug: return format("ok id={}", devices_.plug(c.serial, c.connection));
        case Op::Devices: {
            std::string ids;
            for (const auto& [id, d] : devices_.all()) {
                // Appended piece by piece: g++ 12 at -O2/-O3 warns (-Werror=restrict) about "," + text.
                if (!ids.empty()) ids.push_back(',');
                ids += std::to_string(id);
            }
            return ids.empty() ? std::string("ok count=0")
                               : format("ok count={} ids={}", devices_.all().size(), ids);
        }
        case Op::ListReplyMode: daemon_.set_list_reply(c.list_reply); return "ok";
        case Op::ConnectReplyMode: daemon_.set_connect_reply(c.connect_reply); return "ok";
        case Op::Events: app_.set_feedback_events(c.on); return "ok";
        case Op::Sleep: return wait(c, quiet, now, 0, c.ms);
        case Op::Quit: quit_ = true; return "ok";
        default: return "error: unsupported command";
    }
}

// Commands on a port's settings, counters and waits, with or without a tunnel.
std::optional<std::string> ScriptRunner::port_command(const Command& c, Device& d, bool quiet,
                                                      std::uint64_t now) {
    PortState& ps = d.ports[c.port];
    switch (c.op) {
        case Op::Listen:
            ps.listening = c.on;
            ps.refuse_until_ns = 0;
            return "ok";
        case Op::Refuse:
            ps.listening = true;
            ps.refuse_until_ns = now + c.ms * NS_PER_MS;
            return "ok";
        case Op::Health:
            ps.health = c.health;
            ps.late_ms = c.ms;
            ps.trickle_length = c.trickle_length;
            if (!c.bytes.empty()) ps.health_reply = c.bytes;
            return "ok";
        case Op::Mode: ps.raw = c.on; return "ok";
        case Op::Echo: ps.echo = c.on; return "ok";
        case Op::AutoStream: ps.autostream = c.on ? std::optional(c.stream) : std::nullopt; return "ok";
        case Op::Stats: {
            const PortStats& s = ps.stats;
            return format("ok connected={} sent={} bytes={} feedback={} feedback_bytes={} health={}",
                          tunnels_.current(c.device, c.port) ? 1 : 0, s.sent, s.bytes, s.feedback,
                          s.feedback_bytes, s.health);
        }
        case Op::WaitConnect:
        case Op::WaitHealth:
        case Op::WaitFeedback: return wait(c, quiet, now, 0, c.ms);
        case Op::WaitDisconnect:
            return wait(c, quiet, now, tunnels_.current(c.device, c.port).value_or(0), c.ms);
        default: return "error: unsupported command";
    }
}

std::optional<std::string> ScriptRunner::tunnel_command(const Command& c, TunnelId id, bool quiet,
                                                        std::uint64_t now) {
    switch (c.op) {
        case Op::WaitStream: return wait(c, quiet, now, id, c.ms);
        case Op::Send: tunnels_.write(id, c.bytes, Framing::CountedFrame); return "ok";
        case Op::Raw: tunnels_.write(id, c.bytes, Framing::Raw); return "ok";
        case Op::Stream:
            if (auto r = tunnels_.start_stream(id, c.stream); !r) return "error: " + r.error();
            return "ok";
        case Op::Stop: tunnels_.stop_stream(id); return "ok";
        case Op::Silent: app_.apply_fault(id, c.device, c.port, FaultKind::Silent); return "ok";
        case Op::Read: tunnels_.set_read_pace(id, ReadPace{c.on, c.bytes_per_second}); return "ok";
        case Op::Close:
        case Op::Fault: {
            FaultKind kind = c.op == Op::Close ? FaultKind::Close : c.fault;
            app_.apply_fault(id, c.device, c.port, kind);
            if (kind == FaultKind::Close) return wait(c, quiet, now, id, UINT32_MAX);
            return "ok";
        }
        default: return "error: unsupported command";
    }
}

}  // namespace vantrel::sim
