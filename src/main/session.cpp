#include "main/session.h"

#include <sys/socket.h>

#include <system_error>

#include "console/console.h"
#include "forwarder/packet_stream.h"
#include "forwarder/setup.h"
#include "mux/connect.h"
#include "net/wire.h"

namespace vantrel::app {
namespace {

using forwarder::PacketStream;
using net::ErrorKind;
using net::IoError;

// Whatever went wrong with the tunnel, the app is taken as not accepting connections yet.
net::IoResult<mux::DeviceStream> connect_port(std::uint32_t device_id, std::uint16_t port,
                                              const mux::DaemonAddress& daemon) {
    auto stream = mux::connect_device(device_id, port, daemon);
    if (!stream) return std::unexpected(IoError(ErrorKind::ConnectionRefused, stream.error().display()));
    return std::move(*stream);
}

// A bound, non-blocking UDP socket.
net::IoResult<net::Fd> udp_socket(std::string_view bind_address) {
    auto socket = forwarder::create_udp_socket(bind_address);
    if (!socket) return std::unexpected(socket.error());
    if (auto nb = forwarder::set_nonblocking(socket->get()); !nb) return std::unexpected(nb.error());
    return std::move(*socket);
}

}  // namespace

void join_threads(std::vector<std::thread>& threads) {
    for (auto& t : threads) {
        if (!t.joinable()) continue;
        try {
            t.join();
        } catch (const std::system_error& e) {
            console::fatal("failed to join thread: " + IoError::from_errno(e.code().value()).text());
        }
    }
    threads.clear();
}

net::IoResult<Session> start_session(std::uint32_t device_id, const forwarder::Flag& running,
                                     const SessionAddresses& addresses) {
    Session session{
        .threads = {},
        .session_active = std::make_shared<std::atomic<bool>>(true),
        .video_stats = std::make_shared<forwarder::ForwardStats>(),
        .tracking_stats = std::make_shared<forwarder::ForwardStats>(),
    };
    // A second descriptor of the video tunnel, held only while the attempt runs: if the attempt
    // fails after "video-fwd" has started, shutting the tunnel down wakes that thread's blocked read
    // at once instead of after its 5 s receive timeout.
    net::Fd video_wakeup;
    // A failed attempt ends the threads it has started before anything else is tried.
    auto fail = [&session, &video_wakeup](IoError error) -> net::IoResult<Session> {
        session.session_active->store(false);
        forwarder::wake_feedback_threads();
        if (video_wakeup && !session.threads.empty()) ::shutdown(video_wakeup.get(), SHUT_RDWR);
        join_threads(session.threads);
        return std::unexpected(std::move(error));
    };

    auto video_dest = net::parse_ipv4(addresses.video_destination);
    if (!video_dest) return fail(video_dest.error());
    auto tracking_dest = net::parse_ipv4(addresses.tracking_destination);
    if (!tracking_dest) return fail(tracking_dest.error());

    // Video path.
    auto video_tunnel = connect_port(device_id, VIDEO_PORT, addresses.daemon);
    if (!video_tunnel) return fail(video_tunnel.error());
    auto video = PacketStream::open(std::move(*video_tunnel), forwarder::MAX_VIDEO_PACKET);
    if (!video) return fail(video.error());
    (void)forwarder::health_check(*video);  // the outcome changes nothing
    auto video_socket = udp_socket(VIDEO_BIND_ADDRESS);
    if (!video_socket) return fail(video_socket.error());
    auto feedback_socket = video_socket->duplicate();
    if (!feedback_socket) return fail(feedback_socket.error());
    auto wakeup = net::duplicate_fd(video->reader_fd());
    if (!wakeup) return fail(wakeup.error());
    video_wakeup = std::move(*wakeup);
    auto [feedback_sender, feedback_receiver] = forwarder::make_feedback_queue();

    auto feedback_thread = forwarder::start_video_feedback({
        .queue = std::move(feedback_sender),
        .running = running,
        .session_active = session.session_active,
        .stats = session.video_stats,
        .socket = std::move(*feedback_socket),
    });
    if (!feedback_thread) return fail(feedback_thread.error());
    session.threads.push_back(std::move(*feedback_thread));

    auto video_thread = forwarder::start_video_forward({
        .stream = std::move(*video),
        .running = running,
        .session_active = session.session_active,
        .socket = std::move(*video_socket),
        .destination = *video_dest,
        .stats = session.video_stats,
        .queue = std::move(feedback_receiver),
    });
    if (!video_thread) return fail(video_thread.error());
    session.threads.push_back(std::move(*video_thread));

    // Tracking path.
    auto tracking_tunnel = connect_port(device_id, TRACKING_PORT, addresses.daemon);
    if (!tracking_tunnel) return fail(tracking_tunnel.error());
    auto tracking = PacketStream::open(std::move(*tracking_tunnel), forwarder::MAX_TRACKING_PACKET);
    if (!tracking) return fail(tracking.error());
    (void)forwarder::health_check(*tracking);
    auto tracking_socket = udp_socket(TRACKING_BIND_ADDRESS);
    if (!tracking_socket) return fail(tracking_socket.error());

    auto tracking_thread = forwarder::start_tracking_forward({
        .stream = std::move(*tracking),
        .running = running,
        .session_active = session.session_active,
        .socket = std::move(*tracking_socket),
        .destination = *tracking_dest,
        .stats = session.tracking_stats,
    });
    if (!tracking_thread) return fail(tracking_thread.error());
    session.threads.push_back(std::move(*tracking_thread));
    return session;
}

}  // namespace vantrel::app
