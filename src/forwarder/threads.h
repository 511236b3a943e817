// The three forwarding threads of a session: "video-feedback", "video-fwd" and "tracking-fwd".
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "forwarder/packet_stream.h"
#include "forwarder/session_control.h"
#include "net/address.h"
#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

inline constexpr std::size_t FEEDBACK_BUF_SIZE = 2048;
// Feedback datagrams waiting for the next video packet; one that finds the queue full is dropped.
inline constexpr std::size_t FEEDBACK_QUEUE_LIMIT = 4096;

// Feedback that the app takes none of for this long, while some is waiting, ends the session.
inline constexpr std::chrono::seconds FEEDBACK_WRITE_TIMEOUT{5};

struct ForwardStats {
    std::atomic<std::uint64_t> packets{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> feedback{0};
    std::atomic<std::uint64_t> dropped{0};  // packets whose datagram could not be sent
};

struct FeedbackQueueState;  // defined in threads.cpp

// The sending end (held by "video-feedback"). Dropping it marks the end gone.
class FeedbackSender {
public:
    FeedbackSender(FeedbackSender&&) noexcept = default;
    FeedbackSender& operator=(FeedbackSender&&) noexcept;
    ~FeedbackSender();
    // Never waits: queues the datagram, or drops it when the queue already holds
    // FEEDBACK_QUEUE_LIMIT datagrams or the receiving end is gone.
    void put(std::vector<std::uint8_t> datagram);

private:
    friend std::pair<FeedbackSender, class FeedbackReceiver> make_feedback_queue();
    explicit FeedbackSender(std::shared_ptr<FeedbackQueueState> s) : state_(std::move(s)) {}
    std::shared_ptr<FeedbackQueueState> state_;
};

// The receiving end (held by "video-fwd"). Dropping it discards what is still queued.
class FeedbackReceiver {
public:
    FeedbackReceiver(FeedbackReceiver&&) noexcept = default;
    FeedbackReceiver& operator=(FeedbackReceiver&&) noexcept;
    ~FeedbackReceiver();
    // Never waits: the oldest datagram, or nothing when the queue is empty or the sender is gone.
    std::optional<std::vector<std::uint8_t>> take();

private:
    friend std::pair<FeedbackSender, FeedbackReceiver> make_feedback_queue();
    explicit FeedbackReceiver(std::shared_ptr<FeedbackQueueState> s) : state_(std::move(s)) {}
    std::shared_ptr<FeedbackQueueState> state_;
};

std::pair<FeedbackSender, FeedbackReceiver> make_feedback_queue();

// What each thread owns (moved in) and what it shares with the session, which outlives the thread:
// the session joins its threads before its control and its counters go.
struct VideoFeedbackContext {
    FeedbackSender queue;
    SessionControl& session;
    ForwardStats& stats;
    net::Fd socket;  // duplicate of the video UDP socket, non-blocking
    // Feedback is taken only from this host (any port); nullopt: from anyone who reaches the socket.
    std::optional<net::SocketAddress> only_from = std::nullopt;
};

struct VideoForwardContext {
    PacketStream stream;
    SessionControl& session;
    net::Fd socket;  // the video UDP socket, non-blocking
    net::SocketAddress destination;
    ForwardStats& stats;
    FeedbackReceiver queue;
};

struct TrackingForwardContext {
    PacketStream stream;
    SessionControl& session;
    net::Fd socket;  // the tracking UDP socket, non-blocking
    net::SocketAddress destination;
    ForwardStats& stats;
};

// Thread bodies; each releases what it owns when it returns. Each runs until its session stops;
// "video-fwd" and "tracking-fwd" stop the session when their stream fails.
void run_video_feedback(VideoFeedbackContext context);
void run_video_forward(VideoForwardContext context);
void run_tracking_forward(TrackingForwardContext context);

// Start each body on a thread named "video-feedback", "video-fwd" or "tracking-fwd" (the name is
// also the operating system's thread name). An error when the thread cannot be created.
net::IoResult<std::thread> start_video_feedback(VideoFeedbackContext context);
net::IoResult<std::thread> start_video_forward(VideoForwardContext context);
net::IoResult<std::thread> start_tracking_forward(TrackingForwardContext context);

}  // namespace vantrel::forwarder
