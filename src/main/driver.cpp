#include "main/driver.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <variant>

#include "console/console.h"
#include "console/status.h"
#include "mux/devices.h"

namespace vantrel::app {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto POLL_INTERVAL = 1s;
constexpr auto PAUSE = 2s;

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
struct Disconnected {};
using State = std::variant<Searching, Failed, Pause, Exit, Setup, WaitingForUsbMode, Streaming, Disconnected>;

class Driver {
public:
    Driver(console::Console& console, StopSignals& stop, const SessionAddresses& addresses,
           const DriverOptions& options)
        : console_(console), stop_(stop), addresses_(addresses), options_(options) {
        // A request to the daemon or a setup attempt gives way to Ctrl+C at once.
        addresses_.daemon.interrupt_fd = stop_.fd();
    }

    void run() {
        State state = Searching{};
        while (!std::holds_alternative<Exit>(state))
            state = std::visit([this](auto& s) { return step(s); }, state);
        take_stop_signals();  // each Ctrl+C during the way out clears the line as well
        print_out(console::goodbye_line());
    }

private:
    State step(Searching&) {
        spinner_ = 0;
        // A search that follows an error is logged once it reaches the daemon again.
        if (!retrying_after_error_) note(console::searching_line(0));
        while (running()) {
            print_err(console::searching_line(spinner_));
            auto devices = mux::list_devices(addresses_.daemon);
            if (!devices) {
                print_err(console::CLEAR_LINE);
                if (!running()) return Exit{};
                return Failed{devices.error().display()};
            }
            ++spinner_;
            if (auto chosen = choose(*devices)) {
                print_err(console::CLEAR_LINE);
                device_ = *chosen;
                print_out(console::found_line(device_.serial_number));
                last_note_.clear();
                return Setup{};
            }
            note(console::searching_line(0));
            interruptible_wait(POLL_INTERVAL);
        }
        print_err(console::CLEAR_LINE);
        return Exit{};
    }

    State step(Failed& failed) {
        if (options_.plain) {
            note(console::error_line(failed.text), /*error=*/true);
        } else {
            print_out(console::error_line(failed.text));
        }
        return Pause{};
    }

    State step(Pause&) {
        if (!running()) return Exit{};
        interruptible_wait(PAUSE);
        return Searching{};
    }

    State step(Exit&) { return Exit{}; }

    State step(Setup&) {
        auto session = start_session(device_.device_id, addresses_);
        if (session) return Streaming{std::move(*session)};
        if (!running()) {
            print_err(console::CLEAR_LINE);
            return Exit{};
        }
        if (std::holds_alternative<AppNotAccepting>(session.error())) return WaitingForUsbMode{};
        print_err(console::CLEAR_LINE);
        return Failed{std::get<net::IoError>(session.error()).text()};
    }

    State step(WaitingForUsbMode&) {
        note(console::waiting_line(0));
        print_err(console::waiting_line(spinner_));
        ++spinner_;
        if (interruptible_wait(POLL_INTERVAL)) {
            print_err(console::CLEAR_LINE);
            return Exit{};
        }
        auto devices = mux::list_devices(addresses_.daemon);
        bool listed = false;
        if (devices) {
            for (const auto& d : *devices) listed = listed || d.device_id == device_.device_id;
        }
        if (!listed) {
            print_err(console::CLEAR_LINE);
            return running() ? State(Disconnected{}) : State(Exit{});
        }
        return Setup{};
    }

    State step(Streaming& streaming) {
        Session& session = streaming.session;
        print_err(console::CLEAR_LINE);
        print_out(console::route_lines(addresses_.video_destination, addresses_.tracking_destination));
        last_note_.clear();
        retrying_after_error_ = false;
        // Plain output has no line to redraw: its status is a permanent line now and then, or never.
        const Clock::duration interval =
            options_.plain ? Clock::duration(options_.status_interval) : POLL_INTERVAL;
        const bool never = interval == Clock::duration::zero();
        timespec previous = console::monotonic_now();
        auto next_update = never ? Clock::time_point::max() : Clock::now() + interval;
        std::uint64_t previous_video = 0, previous_tracking = 0;
        while (wait_until(next_update, session.wakeup_fd()) == Woken::Deadline) {
            next_update += interval;
            timespec now = console::monotonic_now();
            console::StatusInputs in{
                .video_packets = session.video_stats().packets.load(),
                .video_bytes = session.video_stats().bytes.load(),
                .video_feedback = session.video_stats().feedback.load(),
                .tracking_packets = session.tracking_stats().packets.load(),
                .tracking_bytes = session.tracking_stats().bytes.load(),
                .previous_video_bytes = previous_video,
                .previous_tracking_bytes = previous_tracking,
                .dt = console::elapsed_seconds(previous, now),
            };
            if (options_.plain)
                print_out(console::status_line(in) + "\n");
            else
                print_err(console::status_line(in));
            previous_video = in.video_bytes;
            previous_tracking = in.tracking_bytes;
            previous = now;
        }
        print_err(console::CLEAR_LINE);
        session.end();
        if (running()) return Disconnected{};
        return Exit{};
    }

    State step(Disconnected&) {
        print_out(console::disconnected_line());
        last_note_.clear();
        return Pause{};
    }

    // The first device in the daemon's order, or the first whose serial number was asked for.
    std::optional<mux::DeviceInfo> choose(const std::vector<mux::DeviceInfo>& devices) const {
        const auto chosen = std::ranges::find_if(devices, [this](const auto& device) {
            return !options_.udid || device.serial_number == *options_.udid;
        });
        if (chosen == devices.end()) return std::nullopt;
        return *chosen;
    }

    // Plain output logs what changed and nothing else: a state line (searching, waiting, an error) is
    // printed as a permanent line unless it is the one printed last.
    void note(const std::string& line, bool error = false) {
        if (!options_.plain) return;
        std::string text = console::plain_text(line);
        if (text.starts_with("[")) text.erase(0, text.find("] ") + 2);  // where the spinner would be
        if (!text.ends_with("\n")) text += "\n";
        if (text == last_note_) return;
        retrying_after_error_ = error;
        print_out(text);
        last_note_ = std::move(text);
    }

    void print_out(std::string_view line) { console_.print_out(line); }
    void print_err(std::string_view line) { console_.print_err(line); }

    // Ctrl+C (or SIGTERM): each one clears the transient line, and the driver heads for the exit.
    void take_stop_signals() {
        for (std::size_t n = stop_.take(); n > 0; --n) {
            stopping_ = true;
            print_err(console::CLEAR_LINE);
        }
    }
    bool running() {
        if (!stopping_) take_stop_signals();
        return !stopping_;
    }

    enum class Woken { Deadline, Stop, SessionEnded };
    // The driver's only way to wait: in one poll on the stop signals and, while streaming, on the
    // session's wake-up descriptor, until `deadline`.
    Woken wait_until(Clock::time_point deadline, int session_fd = -1) {
        for (;;) {
            if (!running()) return Woken::Stop;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Woken::Deadline;
            // A negative descriptor is skipped by poll().
            pollfd watched[2] = {{stop_.fd(), POLLIN, 0}, {session_fd, POLLIN, 0}};
            const int timeout = static_cast<int>(std::min<long long>(left.count(), 60'000));
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

    console::Console& console_;
    StopSignals& stop_;
    bool stopping_ = false;
    SessionAddresses addresses_;
    DriverOptions options_;
    std::string last_note_;              // plain output: the state line printed last
    bool retrying_after_error_ = false;  // plain output: searching again after an error line
    mux::DeviceInfo device_;
    std::uint64_t spinner_ = 0;
};

}  // namespace

void run_driver(console::Console& console, StopSignals& stop, const SessionAddresses& addresses,
                const DriverOptions& options) {
    Driver(console, stop, addresses, options).run();
}

}  // namespace vantrel::app
