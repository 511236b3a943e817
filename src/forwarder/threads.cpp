#include "forwarder/threads.h"

#include <poll.h>
#include <pthread.h>
#include <readerwriterqueue/readerwritercircularbuffer.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <variant>

namespace vantrel::forwarder {

namespace {

void send_datagram(const net::Fd& socket, const sockaddr_in& destination, Packet payload) {
    // Failures are ignored: a datagram the non-blocking socket cannot take at once is lost, not retried.
    (void)::sendto(socket.get(), payload.data(), payload.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

void add_packet(ForwardStats& stats, std::size_t length) {
    stats.packets.fetch_add(1, std::memory_order_relaxed);
    stats.bytes.fetch_add(length, std::memory_order_relaxed);
}

// Sleeps until the socket has a datagram or the session stops.
void wait_for_feedback(const net::Fd& socket, const SessionControl& session) {
    pollfd fds[2] = {{socket.get(), POLLIN, 0}, {session.wakeup_fd(), POLLIN, 0}};
    // poll() failing (EINTR, or out of memory) is one more turn of the loop, which checks the session.
    (void)::poll(fds, 2, -1);
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

void run_video_feedback(VideoFeedbackContext context) {
    std::vector<std::uint8_t> buffer(FEEDBACK_BUF_SIZE);
    while (context.session.active()) {
        // Non-blocking; a longer datagram is cut to the buffer's size.
        const ssize_t n = ::recv(context.socket.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            // Nothing waiting (or an empty datagram): sleep until something arrives or the
            // session stops, instead of waking up to look.
            wait_for_feedback(context.socket, context.session);
            continue;
        }
        context.queue.put(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n));
        context.stats.feedback.fetch_add(1, std::memory_order_relaxed);
    }
}

namespace {

// The loop of "video-fwd" and "tracking-fwd": each packet read from the stream leaves as one
// datagram right away and is counted; `after_packet` then runs and returns false to end the session.
// A failed stream ends the session, which wakes the driver and the session's other threads.
template <typename Context, typename AfterPacket>
void forward_packets(Context& context, AfterPacket after_packet) {
    while (context.session.active()) {
        auto outcome = context.stream.read_packet();
        if (!outcome) {
            context.session.stop();
            return;
        }
        const auto* packet = std::get_if<Packet>(&*outcome);
        if (packet == nullptr) continue;  // NoPacket: only re-check the flags

        // Straight from the stream's buffer: no copy, no allocation.
        send_datagram(context.socket, context.destination, *packet);
        add_packet(context.stats, packet->size());
        if (!after_packet()) {
            context.session.stop();
            return;
        }
    }
}

}  // namespace

void run_video_forward(VideoForwardContext context) {
    // Feedback waiting in the queue goes to the app right after each video packet, oldest first.
    forward_packets(context, [&context] {
        while (auto feedback = context.queue.take()) {
            // An app that no longer reads must not hold the video up for ever.
            const auto deadline = std::chrono::steady_clock::now() + FEEDBACK_WRITE_TIMEOUT;
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the loop condition tested it.
            if (!context.stream.write_packet(*feedback, deadline)) return false;
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
