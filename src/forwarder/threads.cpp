#include "forwarder/threads.h"

#include <poll.h>
#include <pthread.h>
#include <readerwriterqueue/readerwritercircularbuffer.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <variant>

namespace vantrel::forwarder {

namespace {

// Between receives when the thread has no wake-up descriptor.
constexpr auto FEEDBACK_IDLE_PAUSE = std::chrono::milliseconds(1);

void send_datagram(const net::Fd& socket, const sockaddr_in& destination, const Packet& payload) {
    // Failures are ignored: a datagram the non-blocking socket cannot take at once is lost, not retried.
    (void)::sendto(socket.get(), payload.data(), payload.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

void add_packet(ForwardStats& stats, std::size_t length) {
    stats.packets.fetch_add(1, std::memory_order_relaxed);
    stats.bytes.fetch_add(length, std::memory_order_relaxed);
}

bool keep_going(const Flag& running, const Flag& session_active) {
    return running->load() && session_active->load();
}

// The wake-up descriptors (eventfds) of the "video-feedback" threads that are running. Each thread
// reads only its own, so a wake-up meant for one is never taken by another.
class FeedbackWakeups {
public:
    void add(int fd) {
        std::lock_guard guard(lock_);
        fds_.push_back(fd);
    }
    void remove(int fd) {
        std::lock_guard guard(lock_);
        std::erase(fds_, fd);
    }
    void wake_all() {
        std::lock_guard guard(lock_);
        for (int fd : fds_) {
            // Cannot block: the counter is read back to 0 at every wake-up.
            const std::uint64_t one = 1;
            (void)!::write(fd, &one, sizeof one);
        }
    }

private:
    std::mutex lock_;
    std::vector<int> fds_;
};

FeedbackWakeups& feedback_wakeups() {
    static FeedbackWakeups wakeups;
    return wakeups;
}

// A "video-feedback" thread's own wake-up descriptor, listed while the thread runs. It is invalid when
// no eventfd could be had; the thread then polls as before.
class WakeupRegistration {
public:
    WakeupRegistration() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ >= 0) feedback_wakeups().add(fd_);
    }
    WakeupRegistration(const WakeupRegistration&) = delete;
    WakeupRegistration& operator=(const WakeupRegistration&) = delete;
    ~WakeupRegistration() {
        if (fd_ < 0) return;
        feedback_wakeups().remove(fd_);
        ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

// Sleeps until the socket has a datagram, the thread is woken, or the backstop runs out.
void wait_for_feedback(const net::Fd& socket, const WakeupRegistration& wakeup) {
    if (wakeup.fd() < 0) {
        std::this_thread::sleep_for(FEEDBACK_IDLE_PAUSE);
        return;
    }
    pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(FEEDBACK_WAIT_BACKSTOP.count()));
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!::read(wakeup.fd(), &count, sizeof count);
    }
    // poll() failing (EINTR, or out of memory) is one more turn of the loop, which checks the flags.
}

template <typename Context>
net::IoResult<std::thread> start_named(const char* name, void (*body)(Context), Context context) {
    try {
        return std::thread([name, body, context = std::move(context)]() mutable {
            // Best effort: a thread without its name still does its work.
            (void)::pthread_setname_np(::pthread_self(), name);
            body(std::move(context));
        });
    } catch (const std::system_error& error) {
        return std::unexpected(net::IoError::from_errno(error.code().value()));
    }
}

}  // namespace

struct FeedbackQueueState {
    moodycamel::BlockingReaderWriterCircularBuffer<std::vector<std::uint8_t>> items{FEEDBACK_QUEUE_LIMIT};
    std::atomic<bool> sender_alive{true};
    std::atomic<bool> receiver_alive{true};
};

namespace {

// Runs on the consumer's thread, so it may dequeue: queued datagrams are freed now rather than
// when the sending end lets go of the state.
void close_receiving_end(FeedbackQueueState* state) {
    if (state == nullptr) return;
    state->receiver_alive.store(false);
    std::vector<std::uint8_t> discarded;
    while (state->items.try_dequeue(discarded)) {
    }
}

}  // namespace

std::pair<FeedbackSender, FeedbackReceiver> make_feedback_queue() {
    auto state = std::make_shared<FeedbackQueueState>();
    return {FeedbackSender(state), FeedbackReceiver(state)};
}

FeedbackSender& FeedbackSender::operator=(FeedbackSender&& other) noexcept {
    if (this != &other) {
        if (state_) state_->sender_alive.store(false);
        state_ = std::move(other.state_);
    }
    return *this;
}

FeedbackSender::~FeedbackSender() {
    if (state_) state_->sender_alive.store(false);
}

void FeedbackSender::put(std::vector<std::uint8_t> datagram) {
    if (!state_ || !state_->receiver_alive.load()) return;
    // try_enqueue fails when FEEDBACK_QUEUE_LIMIT datagrams are waiting; the datagram is dropped.
    (void)state_->items.try_enqueue(std::move(datagram));
}

FeedbackReceiver& FeedbackReceiver::operator=(FeedbackReceiver&& other) noexcept {
    if (this != &other) {
        close_receiving_end(state_.get());
        state_ = std::move(other.state_);
    }
    return *this;
}

FeedbackReceiver::~FeedbackReceiver() {
    close_receiving_end(state_.get());
}

std::optional<std::vector<std::uint8_t>> FeedbackReceiver::take() {
    if (!state_ || !state_->sender_alive.load()) return std::nullopt;
    std::vector<std::uint8_t> datagram;
    if (!state_->items.try_dequeue(datagram)) return std::nullopt;
    return datagram;
}

void wake_feedback_threads() {
    feedback_wakeups().wake_all();
}

void run_video_feedback(VideoFeedbackContext context) {
    std::vector<std::uint8_t> buffer(FEEDBACK_BUF_SIZE);
    const WakeupRegistration wakeup;
    while (keep_going(context.running, context.session_active)) {
        // Non-blocking; a longer datagram is cut to the buffer's size.
        const ssize_t n = ::recv(context.socket.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            // Nothing waiting (or an empty datagram): sleep until something arrives or a flag
            // is cleared, instead of waking every millisecond to look.
            wait_for_feedback(context.socket, wakeup);
            continue;
        }
        context.queue.put(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n));
        context.stats->feedback.fetch_add(1, std::memory_order_relaxed);
    }
}

namespace {

// Ends the session from a forwarding thread: the driver and the other threads see the flag.
void end_session(const Flag& session_active) {
    session_active->store(false);
    wake_feedback_threads();
}

// The loop of "video-fwd" and "tracking-fwd": each packet read from the stream leaves as one
// datagram right away and is counted; `after_packet` then runs and returns false to end the session.
template <typename Context, typename AfterPacket>
void forward_packets(Context& context, AfterPacket after_packet) {
    while (keep_going(context.running, context.session_active)) {
        auto outcome = context.stream.read_packet();
        if (!outcome) {
            end_session(context.session_active);
            return;
        }
        const auto* packet = std::get_if<Packet>(&*outcome);
        if (packet == nullptr) continue;  // NoPacket: only re-check the flags

        send_datagram(context.socket, context.destination, *packet);
        add_packet(*context.stats, packet->size());
        if (!after_packet()) {
            end_session(context.session_active);
            return;
        }
    }
}

}  // namespace

void run_video_forward(VideoForwardContext context) {
    // Feedback waiting in the queue goes to the app right after each video packet, oldest first.
    forward_packets(context, [&context] {
        while (auto feedback = context.queue.take()) {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the loop condition tested it.
            if (!context.stream.write_packet(*feedback)) return false;
        }
        return true;
    });
}

void run_tracking_forward(TrackingForwardContext context) {
    forward_packets(context, [] { return true; });
}

net::IoResult<std::thread> start_video_feedback(VideoFeedbackContext context) {
    return start_named("video-feedback", &run_video_feedback, std::move(context));
}

net::IoResult<std::thread> start_video_forward(VideoForwardContext context) {
    return start_named("video-fwd", &run_video_forward, std::move(context));
}

net::IoResult<std::thread> start_tracking_forward(TrackingForwardContext context) {
    return start_named("tracking-fwd", &run_tracking_forward, std::move(context));
}

}  // namespace vantrel::forwarder
