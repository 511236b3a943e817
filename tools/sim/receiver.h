// `vantrel-sim receive`: stands in for the local consumers of the bridge's UDP datagrams, checks stamped
// payloads and can send feedback datagrams back to the bridge's video socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel::sim {

struct ReceiverConfig {
    std::string video_address = "127.0.0.1:5000";
    std::string tracking_address = "127.0.0.1:4242";
    std::optional<std::uint64_t> duration_ms;
    std::uint64_t feedback_rate = 0;  // datagrams per second
    std::uint32_t feedback_size = 64;
    bool json = false;
    bool quiet = false;
    std::uint32_t receive_buffer = 8 << 20;
};

// Runs until --duration, SIGINT or SIGTERM; returns the exit status (1 when a socket cannot be bound).
int run_receiver(const ReceiverConfig& config);

}  // namespace vantrel::sim
