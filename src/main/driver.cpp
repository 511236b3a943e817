#include "main/driver.h"

#include <time.h>

#include <algorithm>
#include <optional>
#include <string>
#include <variant>

#include "console/console.h"
#include "console/status.h"
#include "mux/devices.h"

namespace vantrel::app {
namespace {

using namespace std::chrono_literals;
using console::print_err;
using console::print_out;
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
    Driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker, const SessionAddresses& addresses,
           const DriverOptions& options)
        : running_(running), waker_(std::move(waker)), addresses_(addresses), options_(options) {}

    void run() {
        State state = Searching{};
        while (!std::holds_alternative<Exit>(state))
            state = std::visit([this](auto& s) { return step(s); }, state);
        print_out(console::goodbye_line());
    }

private:
    State step(Searching&) {
        spinner_ = 0;
        // A search that follows an error is logged once it reaches the daemon again.
        if (!retrying_after_error_) note(console::searching_line(0));
        while (running_->load()) {
            print_err(console::searching_line(spinner_));
            auto devices = mux::list_devices(addresses_.daemon);
            if (!devices) {
                print_err(console::CLEAR_LINE);
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
        if (!running_->load()) return Exit{};
        interruptible_wait(PAUSE);
        return Searching{};
    }

    State step(Exit&) { return Exit{}; }

    State step(Setup&) {
        auto session = start_session(device_.device_id, waker_, addresses_);
        if (session) return Streaming{std::move(*session)};
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
            devices->visit([&](const mux::DeviceEntry& d) {
                listed = d.device_id == device_.device_id;
                return !listed;
            });
        }
        if (!listed) {
            print_err(console::CLEAR_LINE);
            return Disconnected{};
        }
        return Setup{};
    }

    State step(Streaming& streaming) {
        Session& session = streaming.session;
        print_err(console::CLEAR_LINE);
        print_out(console::route_lines());
        last_note_.clear();
        retrying_after_error_ = false;
        // Plain output has no line to redraw: its status is a permanent line now and then, or never.
        const Clock::duration interval =
            options_.plain ? Clock::duration(options_.status_interval) : POLL_INTERVAL;
        const bool never = interval == Clock::duration::zero();
        timespec previous = console::monotonic_now();
        auto next_update = never ? Clock::time_point::max() : Clock::now() + interval;
        std::uint64_t previous_video = 0, previous_tracking = 0;
        while (!interruptible_wait_until(next_update, &session)) {
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
        if (running_->load()) return Disconnected{};
        return Exit{};
    }

    State step(Disconnected&) {
        print_out(console::disconnected_line());
        last_note_.clear();
        return Pause{};
    }

    // The first device in the daemon's order, or the first whose serial number was asked for.
    std::optional<mux::DeviceInfo> choose(const mux::DeviceList& devices) const {
        std::optional<mux::DeviceInfo> chosen;
        devices.visit([&](const mux::DeviceEntry& device) {
            if (options_.udid && device.serial_number != *options_.udid) return true;
            chosen = mux::DeviceInfo::of(device);
            return false;
        });
        return chosen;
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

    // The driver's only way to wait: until `deadline`, Ctrl+C or, while streaming, the end of the
    // session, whichever comes first. True when it was not the time. Whoever clears a flag wakes it.
    bool interruptible_wait_until(Clock::time_point deadline, const Session* session = nullptr) {
        return waker_->wait_until(deadline,
                                  [&] { return !running_->load() || (session && !session->active()); });
    }
    bool interruptible_wait(Clock::duration duration) {
        return interruptible_wait_until(Clock::now() + duration);
    }

    RunFlag running_;
    std::shared_ptr<forwarder::Waker> waker_;
    SessionAddresses addresses_;
    DriverOptions options_;
    std::string last_note_;              // plain output: the state line printed last
    bool retrying_after_error_ = false;  // plain output: searching again after an error line
    mux::DeviceInfo device_;
    std::uint64_t spinner_ = 0;
};

}  // namespace

void run_driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker,
                const SessionAddresses& addresses, const DriverOptions& options) {
    Driver(running, std::move(waker), addresses, options).run();
}

}  // namespace vantrel::app
