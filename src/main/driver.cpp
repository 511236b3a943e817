#include "main/driver.h"

#include <time.h>

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
using console::print_err;
using console::print_out;

constexpr auto WAIT_STEP = 100ms;
constexpr auto POLL_INTERVAL = 1s;
constexpr auto PAUSE = 2s;

void sleep_step(std::chrono::nanoseconds step) {
    timespec left{static_cast<time_t>(step.count() / 1'000'000'000),
                  static_cast<long>(step.count() % 1'000'000'000)};
    // An interrupted sleep goes on with what is left of it.
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR) console::fatal("failed to sleep: " + net::IoError::last_os_error().text());
    }
}

bool all_set(std::initializer_list<const std::atomic<bool>*> flags) {
    for (const auto* f : flags)
        if (!f->load()) return false;
    return true;
}

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
    Driver(const forwarder::Flag& running, const SessionAddresses& addresses)
        : running_(running), addresses_(addresses) {}

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
            interruptible_wait(POLL_INTERVAL, {running_.get()});
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
        interruptible_wait(PAUSE, {running_.get()});
        return Searching{};
    }

    State step(Exit&) { return Exit{}; }

    State step(Setup&) {
        auto session = start_session(device_.device_id, running_, addresses_);
        if (session) return Streaming{std::move(*session)};
        if (session.error().kind() == net::ErrorKind::ConnectionRefused) return WaitingForUsbMode{};
        print_err(console::CLEAR_LINE);
        return Failed{session.error().text()};
    }

    State step(WaitingForUsbMode&) {
        print_err(console::waiting_line(spinner_));
        ++spinner_;
        interruptible_wait(POLL_INTERVAL, {running_.get()});
        if (!running_->load()) {
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
        const auto& active = session.session_active;
        print_err(console::CLEAR_LINE);
        print_out(console::route_lines());
        timespec previous = console::monotonic_now();
        std::uint64_t previous_video = 0, previous_tracking = 0;
        while (running_->load() && active->load()) {
            interruptible_wait(POLL_INTERVAL, {running_.get(), active.get()});
            if (!active->load() || !running_->load()) break;
            timespec now = console::monotonic_now();
            console::StatusInputs in{
                .video_packets = session.video_stats->packets.load(),
                .video_bytes = session.video_stats->bytes.load(),
                .video_feedback = session.video_stats->feedback.load(),
                .tracking_packets = session.tracking_stats->packets.load(),
                .tracking_bytes = session.tracking_stats->bytes.load(),
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
        join_threads(session.threads);
        if (running_->load()) return Disconnected{};
        return Exit{};
    }

    State step(Disconnected&) {
        print_out(console::disconnected_line());
        return Pause{};
    }

    forwarder::Flag running_;
    SessionAddresses addresses_;
    mux::DeviceInfo device_;
    std::uint64_t spinner_ = 0;
};

}  // namespace

void interruptible_wait(std::chrono::milliseconds duration,
                        std::initializer_list<const std::atomic<bool>*> flags) {
    timespec start = console::monotonic_now();
    const double limit = std::chrono::duration<double>(duration).count();
    for (;;) {
        if (console::elapsed_seconds(start, console::monotonic_now()) >= limit) return;
        if (!all_set(flags)) return;
        sleep_step(WAIT_STEP);
    }
}

void run_driver(const forwarder::Flag& running, const SessionAddresses& addresses) {
    Driver(running, addresses).run();
}

}  // namespace vantrel::app
