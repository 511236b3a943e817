#include "main/driver.h"

#include <time.h>

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
    Driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker, const SessionAddresses& addresses)
        : running_(running), waker_(std::move(waker)), addresses_(addresses) {}

    void run() {
        State state = Searching{};
        while (!std::holds_alternative<Exit>(state))
            state = std::visit([this](auto& s) { return step(s); }, state);
        print_out(console::goodbye_line());
    }

private:
    State step(Searching&) {
        spinner_ = 0;
        while (running_->load()) {
            print_err(console::searching_line(spinner_));
            auto devices = mux::list_devices(addresses_.daemon);
            if (!devices) {
                print_err(console::CLEAR_LINE);
                return Failed{devices.error().display()};
            }
            ++spinner_;
            if (!devices->empty()) {
                print_err(console::CLEAR_LINE);
                device_ = devices->front();
                print_out(console::found_line(device_.serial_number));
                return Setup{};
            }
            interruptible_wait(POLL_INTERVAL);
        }
        print_err(console::CLEAR_LINE);
        return Exit{};
    }

    State step(Failed& failed) {
        print_out(console::error_line(failed.text));
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
            return Disconnected{};
        }
        return Setup{};
    }

    State step(Streaming& streaming) {
        Session& session = streaming.session;
        print_err(console::CLEAR_LINE);
        print_out(console::route_lines());
        timespec previous = console::monotonic_now();
        auto next_update = Clock::now() + POLL_INTERVAL;
        std::uint64_t previous_video = 0, previous_tracking = 0;
        while (!interruptible_wait_until(next_update, &session)) {
            next_update += POLL_INTERVAL;
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
        return Pause{};
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
    mux::DeviceInfo device_;
    std::uint64_t spinner_ = 0;
};

}  // namespace

void run_driver(const RunFlag& running, std::shared_ptr<forwarder::Waker> waker,
                const SessionAddresses& addresses) {
    Driver(running, std::move(waker), addresses).run();
}

}  // namespace vantrel::app
