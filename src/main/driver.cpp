#include "main/driver.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

#include "console/status.h"
#include "mux/devices.h"

namespace vantrel::app {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto POLL_INTERVAL = 1s;
constexpr auto PAUSE = 2s;
// How often a streaming session's counters are looked at (the status line, the stall timeout).
constexpr auto SAMPLE_INTERVAL = 1s;

// The driver's states; the session half's carry what they need.
struct Searching {};
struct Failed {
    std::string text;
};
struct Pause {};
struct Exit {};
struct Setup {};
struct WaitingForUsbMode {};
struct Streaming {
    Session session;
};
struct Disconnected {
    console::Ending ending;
};
using State = std::variant<Searching, Failed, Pause, Exit, Setup, WaitingForUsbMode, Streaming, Disconnected>;

console::Sample take_sample(const Session& session) {
    const auto counts = [](const forwarder::ForwardStats& stats) {
        return console::StreamCounts{stats.packets.load(), stats.bytes.load(), stats.dropped.load()};
    };
    return {console::monotonic_now(), counts(session.video_stats()), counts(session.tracking_stats()),
            session.video_stats().feedback.load()};
}

// What a session's end is called where it is reported.
console::Ending ending_of(const forwarder::SessionEnd& end) {
    using forwarder::EndReason;
    std::optional<std::string_view> stream;
    if (end.stream == forwarder::StreamId::Video) stream = "video";
    if (end.stream == forwarder::StreamId::Tracking) stream = "tracking";
    std::string_view reason = "receive error";  // also any end that fits no other reason
    switch (end.reason) {
        case EndReason::EndOfStream: reason = "end of stream"; break;
        case EndReason::BadPacketLength: reason = "bad packet length"; break;
        case EndReason::FeedbackWriteTimedOut: reason = "feedback write timed out"; break;
        case EndReason::FeedbackWriteFailed: reason = "feedback write failed"; break;
        case EndReason::Stalled: reason = "stalled"; break;
        case EndReason::ReceiveError:
        case EndReason::Stopped: break;
    }
    return {stream, reason, end.detail};
}

class Driver {
public:
    Driver(console::Report& report, Systemd& systemd, StopSignals& stop, const SessionAddresses& addresses,
           const DriverOptions& options)
        : report_(report), systemd_(systemd), stop_(stop), addresses_(addresses), options_(options) {
        // A request to the daemon or a setup attempt gives way to Ctrl+C at once.
        addresses_.daemon.interrupt_fd = stop_.fd();
    }

    void run() {
        // Signal handling is in place; the first daemon request is still to come.
        systemd_.ready();
        State state = Searching{};
        while (!std::holds_alternative<Exit>(state))
            state = std::visit([this](auto& s) { return step(s); }, state);
        take_stop_signals();  // each Ctrl+C during the way out clears the line as well
        report_.goodbye();
    }

private:
    State step(Searching&) {
        spinner_ = 0;
        report_.search_begins();
        systemd_.status("searching");
        while (running()) {
            report_.searching(spinner_);
            systemd_.keepalive(/*before_long_wait=*/true);
            auto devices = mux::list_devices(addresses_.daemon);
            if (!devices) {
                report_.clear_line();
                if (!running()) return Exit{};
                return Failed{devices.error().display()};
            }
            ++spinner_;
            if (auto chosen = choose(*devices)) {
                report_.clear_line();
                device_ = *chosen;
                report_.found({.serial = device_.serial_number,
                               .device_id = device_.device_id,
                               .connection = device_.connection_type,
                               .network = is_network(device_.connection_type)});
                systemd_.status("found " + console::printable(device_.serial_number));
                return Setup{};
            }
            report_.nothing_found();
            interruptible_wait(POLL_INTERVAL);
        }
        report_.clear_line();
        return Exit{};
    }

    State step(Failed& failed) {
        report_.error(failed.text);
        systemd_.status(failed.text);
        return Pause{};
    }

    State step(Pause&) {
        if (!running()) return Exit{};
        interruptible_wait(PAUSE);
        return Searching{};
    }

    State step(Exit&) { return Exit{}; }

    State step(Setup&) {
        systemd_.keepalive(/*before_long_wait=*/true);
        auto session = start_session(device_.device_id, addresses_);
        if (session) return Streaming{std::move(*session)};
        report_.clear_line();
        if (!running()) return Exit{};
        if (std::holds_alternative<AppNotAccepting>(session.error())) return WaitingForUsbMode{};
        return Failed{std::get<net::IoError>(session.error()).text()};
    }

    State step(WaitingForUsbMode&) {
        report_.waiting(spinner_);
        systemd_.status("waiting for the app");
        ++spinner_;
        if (interruptible_wait(POLL_INTERVAL)) {
            report_.clear_line();
            return Exit{};
        }
        systemd_.keepalive(/*before_long_wait=*/true);
        auto devices = mux::list_devices(addresses_.daemon);
        bool listed = false;
        if (devices) {
            devices->visit([&](const mux::DeviceEntry& d) {
                listed = d.device_id == device_.device_id;
                return !listed;
            });
        }
        if (!listed) {
            report_.clear_line();
            return running() ? State(Disconnected{{.reason = "end of stream"}}) : State(Exit{});
        }
        return Setup{};
    }

    State step(Streaming& streaming) {
        Session& session = streaming.session;
        report_.clear_line();
        console::Sample sample = take_sample(session);
        report_.session(addresses_.video_destination, addresses_.tracking_destination, sample);
        systemd_.status("streaming");
        // The counters are looked at once a second: the status, and whether the session stalled.
        auto next_sample = Clock::now() + SAMPLE_INTERVAL;
        auto last_progress = Clock::now();
        std::uint64_t packets_seen = 0;
        while (wait_until(next_sample, session.wakeup_fd()) == Woken::Deadline) {
            next_sample += SAMPLE_INTERVAL;
            sample = take_sample(session);
            report_.sample(sample);
            systemd_.status(report_.status_text());
            const std::uint64_t packets = sample.video.packets + sample.tracking.packets;
            if (packets != packets_seen) {
                packets_seen = packets;
                last_progress = Clock::now();
            } else if (options_.stall_timeout && Clock::now() - last_progress >= *options_.stall_timeout) {
                session.stop(
                    {.reason = forwarder::EndReason::Stalled,
                     .detail = "no packet for " + std::to_string(options_.stall_timeout->count()) + " s"});
            }
        }
        report_.clear_line();
        const auto end = session.ending();
        session.end();
        if (!running()) return Exit{};
        return Disconnected{end ? ending_of(*end) : console::Ending{.reason = "receive error"}};
    }

    State step(Disconnected& disconnected) {
        report_.disconnected(disconnected.ending);
        systemd_.status("disconnected: " + std::string(disconnected.ending.reason));
        return Pause{};
    }

    static bool is_network(std::optional<std::string_view> connection_type) { return connection_type == "Network"; }

    // The first device in the daemon's order (with --udid, the first with that serial number) that is
    // not reached over the network; a network entry only when no other qualifies.
    std::optional<mux::DeviceInfo> choose(const mux::DeviceList& devices) const {
        std::optional<mux::DeviceInfo> chosen, network;
        // A reply may repeat one serial number many times over: each is compared once.
        std::unordered_map<const char*, bool> matches;
        devices.visit([&](const mux::DeviceEntry& device) {
            if (options_.udid) {
                auto [match, fresh] = matches.try_emplace(device.serial_number.data(), false);
                if (fresh) match->second = serial_matches(*options_.udid, device.serial_number);
                if (!match->second) return true;
            }
            if (!is_network(device.connection_type)) {
                chosen = mux::DeviceInfo::of(device);
                return false;
            }
            if (!network) network = mux::DeviceInfo::of(device);
            return true;
        });
        return chosen ? chosen : network;
    }

    // Ctrl+C (or SIGTERM): each one clears the transient line, and the driver heads for the exit.
    void take_stop_signals() {
        for (std::size_t n = stop_.take(); n > 0; --n) {
            if (!stopping_) systemd_.stopping();
            stopping_ = true;
            report_.stop_signal();
        }
    }
    bool running() {
        if (!stopping_) take_stop_signals();
        return !stopping_;
    }

    enum class Woken { Deadline, Stop, SessionEnded };
    // The driver's only way to wait: in one poll on the stop signals and, while streaming, on the
    // session's wake-up descriptor, until `deadline`; the watchdog's keep-alives go out meanwhile.
    Woken wait_until(Clock::time_point deadline, int session_fd = -1) {
        for (;;) {
            if (!running()) return Woken::Stop;
            systemd_.keepalive();
            const auto until = std::min(deadline, systemd_.keepalive_due().value_or(deadline));
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (Clock::now() >= deadline) return Woken::Deadline;
            // A negative descriptor is skipped by poll().
            pollfd watched[2] = {{stop_.fd(), POLLIN, 0}, {session_fd, POLLIN, 0}};
            const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
            if (::poll(watched, 2, timeout) < 0 && errno != EINTR)
                console::fatal(std::string(console::MSG_FAILED_WAIT) + ": " +
                               net::IoError::last_os_error().text());
            if (session_fd >= 0 && watched[1].revents != 0 && running()) return Woken::SessionEnded;
        }
    }
    // True when the wait ended for a stop rather than the time.
    bool interruptible_wait(Clock::duration duration) {
        return wait_until(Clock::now() + duration) == Woken::Stop;
    }

    console::Report& report_;
    Systemd& systemd_;
    StopSignals& stop_;
    bool stopping_ = false;
    SessionAddresses addresses_;
    DriverOptions options_;
    mux::DeviceInfo device_;
    std::uint64_t spinner_ = 0;
};

}  // namespace

bool serial_matches(std::string_view wanted, std::string_view serial) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t i = 0, j = 0;
    for (;;) {
        while (i < wanted.size() && wanted[i] == '-') ++i;
        while (j < serial.size() && serial[j] == '-') ++j;
        if (i == wanted.size() || j == serial.size()) return i == wanted.size() && j == serial.size();
        if (lower(wanted[i++]) != lower(serial[j++])) return false;
    }
}

void run_driver(console::Report& report, Systemd& systemd, StopSignals& stop,
                const SessionAddresses& addresses, const DriverOptions& options) {
    Driver(report, systemd, stop, addresses, options).run();
}

}  // namespace vantrel::app
