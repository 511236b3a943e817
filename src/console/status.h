// The session's lines: waiting, route, status and disconnected.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::console {

std::string waiting_line(std::uint64_t frame_counter);
// The destinations as numeric addresses, IPv6 in brackets ("127.0.0.1:5000", "[::1]:6000").
std::string route_lines(std::string_view video_to = "127.0.0.1:5000",
                        std::string_view tracking_to = "127.0.0.1:4242");
std::string disconnected_line();

// A rate in bytes per second: "1.5MB/s" (bold), "2KB/s", "999B/s" or a dim "--".
std::string format_rate(double bytes_per_second);
// A packet count: "999", "1.0K", "1.2M".
std::string format_count(std::uint64_t count);

struct StatusInputs {
    std::uint64_t video_packets = 0;
    std::uint64_t video_bytes = 0;
    std::uint64_t video_feedback = 0;
    std::uint64_t tracking_packets = 0;
    std::uint64_t tracking_bytes = 0;
    std::uint64_t previous_video_bytes = 0;
    std::uint64_t previous_tracking_bytes = 0;
    double dt = 0;  // seconds since the previous status line
};

std::string status_line(const StatusInputs& in);

// Seconds from `previous` to `now` on the monotonic clock; 0 when `now` reads earlier.
double elapsed_seconds(const timespec& previous, const timespec& now);

// The monotonic clock; a clock that cannot be read is a fatal stop.
timespec monotonic_now();

}  // namespace vantrel::console
