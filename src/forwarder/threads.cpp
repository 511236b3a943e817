#include "forwarder/threads.h"

#include <poll.h>
#include <pthread.h>
#include <readerwriterqueue/readerwritercircularbuffer.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <variant>

#include "net/wire.h"

namespace vantrel::forwarder {

namespace {

void send_datagram(const net::Fd& socket, const net::SocketAddress& destination, Packet payload,
                   ForwardStats& stats) {
    // A datagram the non-blocking socket cannot take at once is lost, not retried; it is counted.
    if (::sendto(socket.get(), payload.data(), payload.size(), MSG_NOSIGNAL, destination.get(),
                 destination.size()) < 0)
        stats.dropped.fetch_add(1, std::memory_order_relaxed);
}

void add_packet(ForwardStats& stats, std::size_t length) {
    stats.packets.fetch_add(1, std::memory_order_relaxed);
    stats.bytes.fetch_add(length, std::memory_order_relaxed);
}

// How a failed read of a stream ends the session.
SessionEnd read_failure(StreamId stream, const net::IoError& error) {
    switch (error.kind()) {
        case net::ErrorKind::UnexpectedEof: return {stream, EndReason::EndOfStream, {}};
        case net::ErrorKind::InvalidData: return {stream, EndReason::BadPacketLength, error.text()};
        default: break;
    }
    // A peer that is gone may show as a reset as well as an end.
    if (error.raw_os_error() == ECONNRESET || error.raw_os_error() == EPIPE)
        return {stream, EndReason::EndOfStream, error.text()};
    return {stream, EndReason::ReceiveError, error.text()};
}

// How a failed feedback write ends the session.
SessionEnd write_failure(const net::IoError& error) {
    return {StreamId::Video,
            error.kind() == net::ErrorKind::TimedOut ? EndReason::FeedbackWriteTimedOut
                                                     : EndReason::FeedbackWriteFailed,
            error.text()};
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
    sockaddr_storage sender{};
    while (context.session.active()) {
        // Non-blocking; a longer datagram is cut to the buffer's size.
        socklen_t sender_size = sizeof sender;
        const ssize_t n = ::recvfrom(context.socket.get(), buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &sender_size);
        if (n <= 0) {
            // Nothing waiting (or an empty datagram): sleep until something arrives or the
            // session stops, instead of waking up to look.
            wait_for_feedback(context.socket, context.session);
            continue;
        }
        // A consumer on another host speaks for itself only: others on the network are not heard.
        if (context.only_from && !context.only_from->same_host(sender)) continue;
        context.queue.put(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n));
        context.stats.feedback.fetch_add(1, std::memory_order_relaxed);
    }
}

namespace {

// The loop of "video-fwd" and "tracking-fwd": each packet read from the stream leaves as one
// datagram right away and is counted; `after_packet` then runs, and `after_quiet` after a receive
// timeout; a failure of either ends the session, as a failed stream does, which wakes the driver and
// the session's other threads.
template <typename Context, typename AfterPacket, typename AfterQuiet>
void forward_packets(Context& context, StreamId stream, AfterPacket after_packet, AfterQuiet after_quiet) {
    while (context.session.active()) {
        auto outcome = context.stream.read_packet();
        if (!outcome) {
            context.session.stop(read_failure(stream, outcome.error()));
            return;
        }
        const auto* packet = std::get_if<Packet>(&*outcome);
        if (packet == nullptr) {  // NoPacket: the stream was quiet for its receive timeout
            if (auto quiet = after_quiet(); !quiet) {
                context.session.stop(write_failure(quiet.error()));
                return;
            }
            continue;
        }

        // Straight from the stream's buffer: no copy, no allocation.
        send_datagram(context.socket, context.destination, *packet, context.stats);
        add_packet(context.stats, packet->size());
        if (auto after = after_packet(); !after) {
            context.session.stop(write_failure(after.error()));
            return;
        }
    }
}

}  // namespace

namespace {

// Feedback on its way to the app, one frame at a time. It is written only as far as the tunnel takes
// it at once, so video is never held back; the rest waits in the queue. An app that takes none of it
// for FEEDBACK_WRITE_TIMEOUT while some is waiting ends the session.
class FeedbackWriter {
public:
    FeedbackWriter(FeedbackReceiver& queue, int tunnel) : queue_(queue), tunnel_(tunnel) {}

    // Writes what the tunnel takes now, oldest first; with `only_started`, only the rest of a frame
    // already begun.
    net::IoResult<void> pump(bool only_started = false) {
        for (;;) {
            if (sent_ == size_) {
                blocked_since_.reset();
                if (only_started || !next_frame()) return {};
            }
            const ssize_t n =
                ::send(tunnel_, frame_.data() + sent_, size_ - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent_ += static_cast<std::size_t>(n);
                blocked_since_.reset();
            } else if (n < 0 && errno == EAGAIN) {
                const auto now = std::chrono::steady_clock::now();
                if (!blocked_since_) blocked_since_ = now;
                if (now - *blocked_since_ >= FEEDBACK_WRITE_TIMEOUT)
                    return std::unexpected(net::IoError(net::ErrorKind::TimedOut, MSG_WRITE_TIMED_OUT));
                return {};
            } else if (n == 0) {
                return std::unexpected(net::IoError(net::ErrorKind::WriteZero, net::MSG_WRITE_WHOLE_BUFFER));
            } else if (errno != EINTR) {
                return std::unexpected(net::IoError::last_os_error());
            }
        }
    }

private:
    bool next_frame() {
        auto datagram = queue_.take();
        if (!datagram) return false;
        net::store_be32(frame_.data(), static_cast<std::uint32_t>(datagram->size()));
        std::copy(datagram->begin(), datagram->end(), frame_.begin() + 4);
        size_ = 4 + datagram->size();
        sent_ = 0;
        return true;
    }

    FeedbackReceiver& queue_;
    int tunnel_;
    std::array<std::uint8_t, 4 + FEEDBACK_BUF_SIZE> frame_{};
    std::size_t size_ = 0;
    std::size_t sent_ = 0;
    std::optional<std::chrono::steady_clock::time_point> blocked_since_;  // no byte went out since
};

}  // namespace

void run_video_forward(VideoForwardContext context) {
    FeedbackWriter feedback(context.queue, context.stream.writer_fd());
    // Feedback waiting in the queue goes to the app right after each video packet, oldest first; a
    // quiet stream only finishes a frame already begun, which also notices an app that reads nothing.
    forward_packets(
        context, StreamId::Video, [&feedback] { return feedback.pump(); },
        [&feedback] { return feedback.pump(/*only_started=*/true); });
}

void run_tracking_forward(TrackingForwardContext context) {
    const auto nothing = [] { return net::IoResult<void>(); };
    forward_packets(context, StreamId::Tracking, nothing, nothing);
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
