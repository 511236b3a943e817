// One session: the three forwarding threads of a device and what they share with the driver.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "forwarder/threads.h"
#include "mux/client.h"
#include "net/io_error.h"

namespace vantrel::app {

// The fixed addresses a session uses; the program always takes the defaults.
struct SessionAddresses {
    mux::DaemonAddress daemon{};
    std::string_view video_destination = forwarder::VIDEO_DESTINATION;
    std::string_view tracking_destination = forwarder::TRACKING_DESTINATION;
};

inline constexpr std::uint16_t VIDEO_PORT = 5000;
inline constexpr std::uint16_t TRACKING_PORT = 4242;
inline constexpr std::string_view VIDEO_BIND_ADDRESS = "127.0.0.1:0";
inline constexpr std::string_view TRACKING_BIND_ADDRESS = "0.0.0.0:0";

struct Session {
    std::vector<std::thread> threads;  // "video-feedback", "video-fwd", "tracking-fwd", in start order
    forwarder::Flag session_active;
    std::shared_ptr<forwarder::ForwardStats> video_stats;
    std::shared_ptr<forwarder::ForwardStats> tracking_stats;
};

// Connects both device ports, prepares both paths and starts the three threads. Every failed
// connect comes back as a ConnectionRefused error. A failed attempt stops and joins the threads it
// started before it returns, so nothing of it outlives it.
net::IoResult<Session> start_session(std::uint32_t device_id, const forwarder::Flag& running,
                                     const SessionAddresses& addresses = {});

// Joins the threads in start order; a join that fails at the OS level is a fatal stop.
void join_threads(std::vector<std::thread>& threads);

}  // namespace vantrel::app
