#include "main/session.h"

#include <sys/socket.h>

#include <system_error>

#include "console/console.h"
#include "forwarder/packet_stream.h"
#include "forwarder/setup.h"
#include "mux/connect.h"
#include "net/address.h"

namespace vantrel::app {

using forwarder::PacketStream;
using net::IoError;

namespace {

// Where a socket that sends to `destination` binds, port 0: the loopback address of its family, or
// every address of it.
std::string_view bind_address(const net::SocketAddress& destination, bool loopback) {
    const bool v6 = destination.family() == AF_INET6;
    if (loopback) return v6 ? "[::1]:0" : "127.0.0.1:0";
    return v6 ? "[::]:0" : "0.0.0.0:0";
}

}  // namespace

Session& Session::operator=(Session&& other) noexcept {
    if (this != &other) {
        end();
        shared_ = std::move(other.shared_);
        threads_ = std::move(other.threads_);
    }
    return *this;
}

void Session::end() {
    if (shared_) shared_->control.stop();
    for (auto& thread : threads_) {
        if (!thread.joinable()) continue;
        try {
            thread.join();
        } catch (const std::system_error& e) {
            console::fatal(std::string(console::MSG_FAILED_JOIN) + ": " +
                           IoError::from_errno(e.code().value()).text());
        }
    }
    threads_.clear();
}

// Builds a session step by step; the first failing step ends the attempt, and the session under
// construction, stopped and joined as it is destroyed, takes everything it started with it.
class SessionBuilder {
public:
    static std::expected<Session, SetupFailure> start(std::uint32_t device_id,
                                                      const SessionAddresses& addresses) {
        auto wakeup = forwarder::SessionControl::make_wakeup();
        if (!wakeup) return std::unexpected(SetupFailure(wakeup.error()));
        Session session(std::move(*wakeup));
        if (auto built = SessionBuilder(device_id, addresses, session).build(); !built)
            return std::unexpected(std::move(built.error()));
        return session;
    }

private:
    SessionBuilder(std::uint32_t device_id, const SessionAddresses& addresses, Session& session)
        : device_id_(device_id), addresses_(addresses), session_(session) {}

    std::expected<void, SetupFailure> build() {
        auto video_dest = net::parse_socket_address(addresses_.video_destination);
        if (!video_dest) return fail(video_dest.error());
        auto tracking_dest = net::parse_socket_address(addresses_.tracking_destination);
        if (!tracking_dest) return fail(tracking_dest.error());
        // A consumer on this computer is reached, and answers, over loopback only; one elsewhere needs
        // the socket on every interface, and only its own host may send feedback.
        const bool local_video = video_dest->is_loopback();
        auto feedback_from = local_video ? std::nullopt : std::optional(*video_dest);

        // Video path.
        auto video = open_path(VIDEO_PORT, forwarder::MAX_VIDEO_PACKET);
        if (!video) return std::unexpected(video.error());
        auto video_socket = udp_socket(bind_address(*video_dest, local_video));
        if (!video_socket) return fail(video_socket.error());
        auto feedback_socket = video_socket->duplicate();
        if (!feedback_socket) return fail(feedback_socket.error());
        auto [feedback_sender, feedback_receiver] = forwarder::make_feedback_queue();
        if (auto started = add(forwarder::start_video_feedback({
                .queue = std::move(feedback_sender),
                .session = session_.shared_->control,
                .stats = session_.shared_->video_stats,
                .socket = std::move(*feedback_socket),
                .only_from = feedback_from,
            }));
            !started)
            return started;
        if (auto started = add(forwarder::start_video_forward({
                .stream = std::move(*video),
                .session = session_.shared_->control,
                .socket = std::move(*video_socket),
                .destination = *video_dest,
                .stats = session_.shared_->video_stats,
                .queue = std::move(feedback_receiver),
            }));
            !started)
            return started;

        // Tracking path.
        auto tracking = open_path(TRACKING_PORT, forwarder::MAX_TRACKING_PACKET);
        if (!tracking) return std::unexpected(tracking.error());
        auto tracking_socket = udp_socket(bind_address(*tracking_dest, /*loopback=*/false));
        if (!tracking_socket) return fail(tracking_socket.error());
        return add(forwarder::start_tracking_forward({
            .stream = std::move(*tracking),
            .session = session_.shared_->control,
            .socket = std::move(*tracking_socket),
            .destination = *tracking_dest,
            .stats = session_.shared_->tracking_stats,
        }));
    }

    static std::unexpected<SetupFailure> fail(IoError error) {
        return std::unexpected(SetupFailure(std::move(error)));
    }

    // The tunnel to a device port as a PacketStream, health-checked once (whatever the outcome) and
    // shut down with the session. Any failed connect means the app does not accept connections yet.
    std::expected<PacketStream, SetupFailure> open_path(std::uint16_t port, std::size_t capacity) {
        auto tunnel = mux::connect_device(device_id_, port, addresses_.daemon);
        if (!tunnel) return std::unexpected(AppNotAccepting{});
        auto stream = PacketStream::open(std::move(*tunnel), capacity);
        if (!stream) return fail(stream.error());
        if (auto added = session_.shared_->control.add_tunnel(stream->reader_fd()); !added)
            return fail(added.error());
        // The outcome changes nothing, unless the program is stopping.
        if (auto checked = forwarder::health_check(*stream, addresses_.daemon.interrupt_fd);
            !checked && checked.error().kind() == net::ErrorKind::Interrupted)
            return fail(checked.error());
        return std::move(*stream);
    }

    // A bound, non-blocking UDP socket.
    static net::IoResult<net::Fd> udp_socket(std::string_view bind_address) {
        auto socket = forwarder::create_udp_socket(bind_address);
        if (!socket) return std::unexpected(socket.error());
        if (auto nb = forwarder::set_nonblocking(socket->get()); !nb) return std::unexpected(nb.error());
        return std::move(*socket);
    }

    std::expected<void, SetupFailure> add(net::IoResult<std::thread> started) {
        if (!started) return fail(started.error());
        session_.threads_.push_back(std::move(*started));
        return {};
    }

    std::uint32_t device_id_;
    const SessionAddresses& addresses_;
    Session& session_;
};

std::expected<Session, SetupFailure> start_session(std::uint32_t device_id,
                                                   const SessionAddresses& addresses) {
    return SessionBuilder::start(device_id, addresses);
}

}  // namespace vantrel::app
