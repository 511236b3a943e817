#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "forwarder/setup.h"
#include "forwarder/threads.h"
#include "support/sockets.h"

using namespace vantrel;
using namespace vantrel::forwarder;
using namespace vantrel::test;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<SessionControl> make_session() {
    auto wakeup = SessionControl::make_wakeup();
    EXPECT_TRUE(wakeup.has_value());
    return std::make_shared<SessionControl>(std::move(*wakeup));
}

// One path's parts as the session builds them, with the app's end of the tunnel and a local UDP
// consumer standing in for the outside.
struct Path {
    net::Fd app;
    std::optional<PacketStream> stream;
    net::Fd socket;    // the path's UDP socket, non-blocking
    net::Fd consumer;  // where the path's datagrams go
    net::SocketAddress destination;
    std::shared_ptr<SessionControl> session = make_session();
    std::shared_ptr<ForwardStats> stats = std::make_shared<ForwardStats>();
    int reader_fd = -1, writer_fd = -1, socket_fd = -1;

    explicit Path(std::size_t capacity, std::string_view bind = "127.0.0.1:0") {
        auto [program, app_end] = unix_stream_pair();
        app = std::move(app_end);
        auto opened = PacketStream::open(mux::DeviceStream{std::move(program)}, capacity);
        EXPECT_TRUE(opened.has_value());
        stream.emplace(std::move(*opened));
        // A short timeout keeps the flag checks of a silent app quick.
        EXPECT_TRUE(stream->set_receive_timeout(1).has_value());
        auto udp = create_udp_socket(bind);
        EXPECT_TRUE(udp.has_value());
        socket = std::move(*udp);
        EXPECT_TRUE(set_nonblocking(socket.get()).has_value());
        consumer = udp_on_loopback();
        const sockaddr_in consumer_address = local_address(consumer.get());
        destination = net::SocketAddress::from(reinterpret_cast<const sockaddr*>(&consumer_address),
                                               sizeof consumer_address);
        EXPECT_TRUE(session->add_tunnel(stream->reader_fd()).has_value());
        reader_fd = stream->reader_fd();
        writer_fd = stream->writer_fd();
        socket_fd = socket.get();
    }

    TrackingForwardContext tracking_context() {
        return {std::move(*stream), *session, std::move(socket), destination, *stats};
    }
    VideoForwardContext video_context(FeedbackReceiver queue) {
        return {std::move(*stream), *session, std::move(socket), destination, *stats, std::move(queue)};
    }
    void expect_all_closed() const {
        EXPECT_FALSE(is_open(reader_fd));
        EXPECT_FALSE(is_open(writer_fd));
        EXPECT_FALSE(is_open(socket_fd));
    }
};

// The video feedback thread's own descriptor and the address at which it receives.
struct FeedbackPort {
    net::Fd duplicate;
    sockaddr_in address{};
    int fd = -1;

    explicit FeedbackPort(const net::Fd& video_socket) {
        auto copy = video_socket.duplicate();
        EXPECT_TRUE(copy.has_value());
        duplicate = std::move(*copy);
        address = local_address(video_socket.get());
        fd = duplicate.get();
    }
};

std::uint64_t load(const std::atomic<std::uint64_t>& counter) {
    return counter.load();
}

// A started thread that is stopped (through its session) and joined on every way out of a test, so
// that a failed assertion is reported instead of ending the process.
class Joined {
public:
    Joined(std::shared_ptr<SessionControl> session, net::IoResult<std::thread> started)
        : session_(std::move(session)), started_(std::move(started)) {}
    Joined(const Joined&) = delete;
    Joined& operator=(const Joined&) = delete;
    ~Joined() {
        if (started_ && started_->joinable()) {
            session_->stop();
            started_->join();
        }
    }
    bool has_value() const { return started_.has_value(); }
    std::thread* operator->() { return &*started_; }
    std::thread& operator*() { return *started_; }

private:
    std::shared_ptr<SessionControl> session_;
    net::IoResult<std::thread> started_;
};

// A "video-feedback" thread on a path's video socket, as the session starts it: `port` is where the
// consumer sends, `receiver` the queue's end that "video-fwd" would hold. Stopped and joined on every
// way out of a test.
struct FeedbackThread {
    FeedbackPort port;
    FeedbackReceiver receiver;
    Joined thread;

    explicit FeedbackThread(Path& path) : FeedbackThread(path, make_feedback_queue()) {}

private:
    FeedbackThread(Path& path, std::pair<FeedbackSender, FeedbackReceiver> queue)
        : port(path.socket),
          receiver(std::move(queue.second)),
          thread(path.session, start_video_feedback({std::move(queue.first), *path.session, *path.stats,
                                                     std::move(port.duplicate)})) {}
};

std::string thread_name(std::thread& thread) {
    char name[16] = {};
    if (::pthread_getname_np(thread.native_handle(), name, sizeof name) != 0) return {};
    return name;
}

}  // namespace

TEST(FeedbackQueue, YieldsDatagramsInArrivalOrder) {
    auto [sender, receiver] = make_feedback_queue();
    EXPECT_EQ(receiver.take(), std::nullopt);
    sender.put(Bytes{1});
    sender.put(Bytes{2, 2});
    sender.put(Bytes{3, 3, 3});
    EXPECT_EQ(receiver.take(), Bytes{1});
    EXPECT_EQ(receiver.take(), (Bytes{2, 2}));
    sender.put(Bytes{4});
    EXPECT_EQ(receiver.take(), (Bytes{3, 3, 3}));
    EXPECT_EQ(receiver.take(), Bytes{4});
    EXPECT_EQ(receiver.take(), std::nullopt);
}

TEST(FeedbackQueue, KeepsAtMostTheLimitAndDropsTheRest) {
    auto [sender, receiver] = make_feedback_queue();
    for (std::size_t i = 0; i < FEEDBACK_QUEUE_LIMIT + 100; ++i)
        sender.put(Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
    for (std::size_t i = 0; i < FEEDBACK_QUEUE_LIMIT; ++i)
        ASSERT_EQ(receiver.take(), (Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}));
    EXPECT_EQ(receiver.take(), std::nullopt);
    // Room again once taken.
    sender.put(Bytes{9});
    EXPECT_EQ(receiver.take(), Bytes{9});
}

TEST(FeedbackQueue, TakeYieldsNothingOnceTheSenderIsGone) {
    auto [sender, receiver] = make_feedback_queue();
    sender.put(Bytes{1});
    { FeedbackSender gone = std::move(sender); }
    EXPECT_EQ(receiver.take(), std::nullopt);
}

TEST(FeedbackQueue, MovedEndsCarryTheirQueueAndReplacedEndsAreGone) {
    auto [first_sender, first_receiver] = make_feedback_queue();
    auto [second_sender, second_receiver] = make_feedback_queue();
    first_sender.put(Bytes{1});
    second_sender.put(Bytes{2});
    second_sender.put(Bytes{3});

    first_receiver = std::move(second_receiver);
    EXPECT_EQ(first_receiver.take(), Bytes{2});
    // Replacing the second queue's sender leaves that queue without one: {3} is no longer taken.
    second_sender = std::move(first_sender);
    EXPECT_EQ(first_receiver.take(), std::nullopt);
}

TEST(FeedbackQueue, OneProducerAndOneConsumerOnTwoThreads) {
    auto [sender, receiver] = make_feedback_queue();
    constexpr std::uint32_t COUNT = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&sender, &done] {
        for (std::uint32_t i = 0; i < COUNT; ++i) {
            sender.put(Bytes{static_cast<std::uint8_t>(i >> 24), static_cast<std::uint8_t>(i >> 16),
                             static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
        }
        done.store(true);
    });
    // A datagram may be dropped when the queue is full, but what arrives is whole and in order.
    std::size_t taken = 0;
    std::optional<std::uint32_t> last;
    bool increasing = true;
    auto consume = [&](const Bytes& item) {
        ASSERT_EQ(item.size(), 4u);
        const std::uint32_t value = (std::uint32_t{item[0]} << 24) | (std::uint32_t{item[1]} << 16) |
                                    (std::uint32_t{item[2]} << 8) | std::uint32_t{item[3]};
        if (last && value <= *last) increasing = false;
        last = value;
        ++taken;
    };
    while (true) {
        if (auto item = receiver.take()) {
            consume(*item);
        } else if (done.load()) {
            while (auto rest = receiver.take()) consume(*rest);
            break;
        }
    }
    producer.join();
    EXPECT_TRUE(increasing);
    EXPECT_GE(taken, FEEDBACK_QUEUE_LIMIT);
    EXPECT_LE(taken, COUNT);
}

TEST(TrackingForward, SendsEachPayloadAsOneDatagramAndCountsIt) {
    Path path(MAX_TRACKING_PACKET, "0.0.0.0:0");
    auto stats = path.stats;
    Joined thread(path.session, start_tracking_forward(path.tracking_context()));
    ASSERT_TRUE(thread.has_value());

    send_bytes(path.app.get(), frame(pattern(1024, 1)));
    send_bytes(path.app.get(), frame(Bytes{0x42}));
    EXPECT_EQ(receive_datagram(path.consumer.get()), pattern(1024, 1));
    EXPECT_EQ(receive_datagram(path.consumer.get()), Bytes{0x42});
    EXPECT_TRUE(eventually([&] { return load(stats->packets) == 2 && load(stats->bytes) == 1025; }));
    EXPECT_EQ(load(stats->feedback), 0u);

    path.session->stop();
    thread->join();
    path.expect_all_closed();
}

TEST(TrackingForward, KeepsCountingWithNobodyListening) {
    Path path(MAX_TRACKING_PACKET);
    path.consumer.reset();  // the destination port now has no socket
    auto stats = path.stats;
    Joined thread(path.session, start_tracking_forward(path.tracking_context()));
    ASSERT_TRUE(thread.has_value());
    for (int i = 0; i < 5; ++i) send_bytes(path.app.get(), frame(pattern(10)));
    EXPECT_TRUE(eventually([&] { return load(stats->packets) == 5 && load(stats->bytes) == 50; }));
    EXPECT_TRUE(path.session->active());
    path.session->stop();
    thread->join();
}

TEST(TrackingForward, OversizedOrEmptyPacketEndsTheSession) {
    for (const Bytes& prefix : {Bytes{0x00, 0x00, 0x04, 0x01}, Bytes{0x00, 0x00, 0x00, 0x00}}) {
        Path path(MAX_TRACKING_PACKET);
        send_bytes(path.app.get(), frame(Bytes{5}));
        send_bytes(path.app.get(), prefix);
        run_tracking_forward(path.tracking_context());
        EXPECT_FALSE(path.session->active());
        EXPECT_EQ(receive_datagram(path.consumer.get()), Bytes{5});
        EXPECT_EQ(load(path.stats->packets), 1u);
        path.expect_all_closed();
    }
}

TEST(TrackingForward, ClosedAppEndsTheSessionAndClosesEverything) {
    Path path(MAX_TRACKING_PACKET);
    path.app.reset();
    run_tracking_forward(path.tracking_context());
    EXPECT_FALSE(path.session->active());
    path.expect_all_closed();
}

TEST(TrackingForward, StopOfTheSessionWakesABlockedReadAtOnce) {
    Path path(MAX_TRACKING_PACKET);
    ASSERT_TRUE(path.stream->set_receive_timeout(60).has_value());  // no timeout turn to lean on
    Joined thread(path.session, start_tracking_forward(path.tracking_context()));
    ASSERT_TRUE(thread.has_value());
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    path.session->stop();
    thread->join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(load(path.stats->packets), 0u);
    path.expect_all_closed();
}

TEST(TrackingForward, ChecksTheSessionBeforeTheFirstRead) {
    Path path(MAX_TRACKING_PACKET);
    send_bytes(path.app.get(), frame(Bytes{1}));
    path.session->stop();
    run_tracking_forward(path.tracking_context());
    EXPECT_EQ(load(path.stats->packets), 0u);
    EXPECT_EQ(receive_datagram(path.consumer.get(), 100ms), std::nullopt);
    path.expect_all_closed();
}

TEST(TrackingForward, PacketSplitByATimeoutInsideItsPrefixIsForwarded) {
    Path path(MAX_TRACKING_PACKET);
    Joined thread(path.session, start_tracking_forward(path.tracking_context()));
    ASSERT_TRUE(thread.has_value());
    send_bytes(path.app.get(), Bytes{0x00, 0x00, 0x00});
    std::this_thread::sleep_for(1500ms);  // the read times out with three prefix bytes in
    send_bytes(path.app.get(), Bytes{0x02, 'h', 'i'});
    EXPECT_EQ(receive_datagram(path.consumer.get()), (Bytes{'h', 'i'}));
    EXPECT_TRUE(path.session->active());
    path.session->stop();
    thread->join();
}

TEST(VideoForward, SendsEachPacketAsOneDatagramAndCountsIt) {
    Path path(MAX_VIDEO_PACKET);
    auto [sender, receiver] = make_feedback_queue();
    auto stats = path.stats;
    Joined thread(path.session, start_video_forward(path.video_context(std::move(receiver))));
    ASSERT_TRUE(thread.has_value());

    send_bytes(path.app.get(), frame(pattern(1400, 2)));
    EXPECT_EQ(receive_datagram(path.consumer.get()), pattern(1400, 2));
    EXPECT_TRUE(eventually([&] { return load(stats->packets) == 1 && load(stats->bytes) == 1400; }));

    path.session->stop();
    thread->join();
    path.expect_all_closed();
}

TEST(VideoForward, CountsAPacketTooLargeForADatagram) {
    Path path(MAX_VIDEO_PACKET);
    auto [sender, receiver] = make_feedback_queue();
    auto stats = path.stats;
    Joined thread(path.session, start_video_forward(path.video_context(std::move(receiver))));
    ASSERT_TRUE(thread.has_value());

    std::thread app([fd = path.app.get()] {
        send_bytes(fd, frame(pattern(65536, 3)));
        send_bytes(fd, frame(Bytes{0x11}));
    });
    // The 65536-byte packet never arrives; the one after it does, first.
    EXPECT_EQ(receive_datagram(path.consumer.get()), Bytes{0x11});
    app.join();
    EXPECT_TRUE(eventually([&] { return load(stats->packets) == 2 && load(stats->bytes) == 65537; }));
    EXPECT_TRUE(path.session->active());
    path.session->stop();
    thread->join();
}

TEST(VideoForward, RelaysQueuedFeedbackOnlyAfterTheNextVideoPacket) {
    Path path(MAX_VIDEO_PACKET);
    FeedbackThread feedback_thread(path);
    auto& [port, receiver, feedback] = feedback_thread;
    auto stats = path.stats;
    ASSERT_TRUE(feedback.has_value());
    Joined forward(path.session, start_video_forward(path.video_context(std::move(receiver))));
    ASSERT_TRUE(forward.has_value());

    send_datagram(path.consumer.get(), port.address, Bytes{'a'});
    send_datagram(path.consumer.get(), port.address, Bytes{'b', 'b'});
    send_datagram(path.consumer.get(), port.address, Bytes{'c', 'c', 'c'});
    EXPECT_TRUE(eventually([&] { return load(stats->feedback) == 3; }));
    // Waiting in the queue: the app sees nothing yet, not even after the video read times out.
    EXPECT_EQ(receive_bytes(path.app.get(), 1, 1500ms), Bytes{});

    send_bytes(path.app.get(), frame(Bytes{0x01}));
    const Bytes relayed = {0, 0, 0, 1, 'a', 0, 0, 0, 2, 'b', 'b', 0, 0, 0, 3, 'c', 'c', 'c'};
    EXPECT_EQ(receive_bytes(path.app.get(), relayed.size()), relayed);
    EXPECT_EQ(receive_datagram(path.consumer.get()), Bytes{0x01});
    EXPECT_EQ(load(stats->packets), 1u);

    path.session->stop();
    feedback->join();
    forward->join();
    path.expect_all_closed();
    EXPECT_FALSE(is_open(port.fd));
}

TEST(VideoForward, FailedFeedbackWriteEndsTheSession) {
    Path path(MAX_VIDEO_PACKET);
    auto [sender, receiver] = make_feedback_queue();
    sender.put(Bytes{'f'});
    // The app stops reading but still writes: the relay fails, the video read does not.
    ASSERT_EQ(::shutdown(path.app.get(), SHUT_RD), 0);
    send_bytes(path.app.get(), frame(Bytes{0x01}));
    send_bytes(path.app.get(), frame(Bytes{0x02}));
    run_video_forward(path.video_context(std::move(receiver)));
    EXPECT_FALSE(path.session->active());
    EXPECT_EQ(receive_datagram(path.consumer.get()), Bytes{0x01});
    EXPECT_EQ(receive_datagram(path.consumer.get(), 100ms), std::nullopt);
    EXPECT_EQ(load(path.stats->packets), 1u);
    path.expect_all_closed();
}

TEST(VideoForward, ClosedAppOrBadLengthEndsTheSession) {
    {
        Path path(MAX_VIDEO_PACKET);
        auto [sender, receiver] = make_feedback_queue();
        path.app.reset();
        run_video_forward(path.video_context(std::move(receiver)));
        EXPECT_FALSE(path.session->active());
        path.expect_all_closed();
    }
    {
        Path path(MAX_VIDEO_PACKET);
        auto [sender, receiver] = make_feedback_queue();
        send_bytes(path.app.get(), Bytes{0x00, 0x01, 0x00, 0x01});
        run_video_forward(path.video_context(std::move(receiver)));
        EXPECT_FALSE(path.session->active());
        EXPECT_EQ(load(path.stats->packets), 0u);
        path.expect_all_closed();
    }
}

TEST(VideoForward, FeedbackTheAppDoesNotTakeNeverHoldsVideoBackAndEndsTheSessionWhenNothingMoves) {
    Path path(MAX_VIDEO_PACKET);
    auto [sender, receiver] = make_feedback_queue();
    // Far more feedback than the tunnel's buffers hold, and an app that never reads any of it.
    for (int i = 0; i < 1024; ++i) sender.put(pattern(2048, static_cast<std::uint8_t>(i)));
    Joined thread(path.session, start_video_forward(path.video_context(std::move(receiver))));
    ASSERT_TRUE(thread.has_value());
    // Video keeps flowing at once while the feedback waits.
    for (std::uint8_t i = 1; i <= 20; ++i) {
        send_bytes(path.app.get(), frame(Bytes{i}));
        EXPECT_EQ(receive_datagram(path.consumer.get(), 2s), Bytes{i});
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(path.session->active()) << "the feedback gave up before its time";
    // No progress on the feedback for FEEDBACK_WRITE_TIMEOUT ends the session, video or not.
    EXPECT_TRUE(eventually([&] { return !path.session->active(); }, FEEDBACK_WRITE_TIMEOUT * 3));
    thread->join();
    path.expect_all_closed();
}

TEST(VideoFeedback, CutsLongDatagramsAndIgnoresEmptyOnes) {
    Path path(MAX_VIDEO_PACKET);
    FeedbackThread feedback(path);
    auto& [port, receiver, thread] = feedback;
    auto stats = path.stats;
    ASSERT_TRUE(thread.has_value());

    send_datagram(path.consumer.get(), port.address, Bytes{});
    send_datagram(path.consumer.get(), port.address, pattern(3000, 4));
    send_datagram(path.consumer.get(), port.address, Bytes{5, 5, 5, 5, 5});
    EXPECT_TRUE(eventually([&] { return load(stats->feedback) == 2; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(load(stats->feedback), 2u);
    EXPECT_EQ(load(stats->packets), 0u);

    const auto first = receiver.take();
    ASSERT_TRUE(first.has_value());
    const Bytes sent = pattern(3000, 4);
    EXPECT_EQ(*first, Bytes(sent.begin(), sent.begin() + 2048));
    EXPECT_EQ(receiver.take(), (Bytes{5, 5, 5, 5, 5}));
    EXPECT_EQ(receiver.take(), std::nullopt);

    path.session->stop();
    thread->join();
    EXPECT_FALSE(is_open(port.fd));
}

TEST(VideoFeedback, QueueBoundDropsButStillCounts) {
    Path path(MAX_VIDEO_PACKET);
    FeedbackThread feedback(path);
    auto& [port, receiver, thread] = feedback;
    auto stats = path.stats;
    ASSERT_TRUE(thread.has_value());

    constexpr std::size_t SENT = FEEDBACK_QUEUE_LIMIT + 50;
    for (std::size_t i = 0; i < SENT; ++i) {
        send_datagram(path.consumer.get(), port.address,
                      Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
        // Pace the sender so that the socket's receive buffer never overflows.
        if (i % 64 == 63) {
            ASSERT_TRUE(eventually([&] { return load(stats->feedback) == i + 1; }));
        }
    }
    EXPECT_TRUE(eventually([&] { return load(stats->feedback) == SENT; }));

    for (std::size_t i = 0; i < FEEDBACK_QUEUE_LIMIT; ++i)
        ASSERT_EQ(receiver.take(), (Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}));
    EXPECT_EQ(receiver.take(), std::nullopt);

    path.session->stop();
    thread->join();
}

TEST(VideoFeedback, StopOfTheSessionEndsItAtOnceAndClosesItsDescriptor) {
    Path path(MAX_VIDEO_PACKET);
    FeedbackThread feedback(path);
    auto& [port, receiver, thread] = feedback;
    ASSERT_TRUE(thread.has_value());
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    path.session->stop();
    thread->join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(is_open(port.fd));
    // Its sending end went with the thread.
    EXPECT_EQ(receiver.take(), std::nullopt);
}

// Voluntary context switches of this process's thread with the given name: each one is a wake-up.
std::optional<long> wakeups_of(std::string_view name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string comm_name;
        if (!std::getline(comm, comm_name) || comm_name != name) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return std::nullopt;
}

TEST(VideoFeedback, SleepsWhileNothingArrivesAndStillRelaysAtOnce) {
    Path path(MAX_VIDEO_PACKET);
    FeedbackThread feedback(path);
    auto& [port, receiver, thread] = feedback;
    auto stats = path.stats;
    ASSERT_TRUE(thread.has_value());
    ASSERT_TRUE(eventually([] { return wakeups_of("video-feedback").has_value(); }, 5s));

    // Polling every millisecond would wake it about 500 times in half a second; waiting on the
    // socket and the session's stop, it does not wake at all.
    const long before = *wakeups_of("video-feedback");
    std::this_thread::sleep_for(500ms);
    const long idle_wakeups = *wakeups_of("video-feedback") - before;
    EXPECT_LT(idle_wakeups, 5) << "an idle feedback thread keeps waking up";

    send_datagram(path.consumer.get(), port.address, Bytes{1, 2, 3});
    EXPECT_TRUE(eventually([&] { return load(stats->feedback) == 1; }));
    EXPECT_EQ(receiver.take(), (Bytes{1, 2, 3}));
}

TEST(StartThreads, NamesEachThreadForTheOperatingSystem) {
    Path video(MAX_VIDEO_PACKET);
    Path tracking(MAX_TRACKING_PACKET);
    FeedbackThread feedback_thread(video);
    auto& feedback = feedback_thread.thread;
    Joined forward(video.session,
                   start_video_forward(video.video_context(std::move(feedback_thread.receiver))));
    Joined tracker(tracking.session, start_tracking_forward(tracking.tracking_context()));
    ASSERT_TRUE(feedback.has_value());
    ASSERT_TRUE(forward.has_value());
    ASSERT_TRUE(tracker.has_value());

    EXPECT_TRUE(eventually([&] { return thread_name(*feedback) == "video-feedback"; }, 5s));
    EXPECT_TRUE(eventually([&] { return thread_name(*forward) == "video-fwd"; }, 5s));
    EXPECT_TRUE(eventually([&] { return thread_name(*tracker) == "tracking-fwd"; }, 5s));

    video.session->stop();
    tracking.session->stop();
    feedback->join();
    forward->join();
    tracker->join();
}
