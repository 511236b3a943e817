#include "console/status.h"

#include <fmt/format.h>

#include "console/console.h"
#include "net/io_error.h"

namespace vantrel::console {

std::string waiting_line(std::uint64_t frame_counter) {
    const char frame = SPINNER_FRAMES[frame_counter % SPINNER_FRAMES.size()];
    return fmt::format("{}{}[{}{}{}{}] Waiting for Vantrel USB mode...{}", CLEAR_LINE, DIM, YELLOW, frame,
                       RESET, DIM, RESET);
}

std::string route_lines(std::string_view video_to, std::string_view tracking_to) {
    return fmt::format(
        "\n  {}Video{}    {}USB:5000{} -> {}UDP {}{}\n"
        "  {}Tracking{} {}USB:4242{} -> {}UDP {}{}\n\n",
        CYAN, RESET, DIM, RESET, DIM, video_to, RESET, CYAN, RESET, DIM, RESET, DIM, tracking_to, RESET);
}

std::string disconnected_line() {
    return fmt::format("{}Disconnected.{} Waiting for reconnect...\n", YELLOW, RESET);
}

// Fixed decimals, nearest value, ties to the even digit ({fmt} rounds the exact binary value, as
// printf does).
std::string format_rate(double rate) {
    if (rate >= 1'000'000.0) return fmt::format("{}{:.1f}MB/s{}", BOLD, rate / 1'000'000.0, RESET);
    if (rate >= 1000.0) return fmt::format("{:.0f}KB/s", rate / 1000.0);
    if (rate > 0.0) return fmt::format("{:.0f}B/s", rate);
    return fmt::format("{}--{}", DIM, RESET);
}

std::string format_count(std::uint64_t count) {
    if (count >= 1'000'000) return fmt::format("{:.1f}M", static_cast<double>(count) / 1'000'000.0);
    if (count >= 1000) return fmt::format("{:.1f}K", static_cast<double>(count) / 1000.0);
    return fmt::format("{}", count);
}

std::string status_line(const StatusInputs& in) {
    double video_rate = 0, tracking_rate = 0;
    if (in.dt > 0) {
        video_rate = static_cast<double>(in.video_bytes - in.previous_video_bytes) / in.dt;
        tracking_rate = static_cast<double>(in.tracking_bytes - in.previous_tracking_bytes) / in.dt;
    }
    auto colour = [](double rate) { return rate > 0 ? GREEN : DIM; };
    return fmt::format("{}  {}V{} {}{}/{}{}  {}T{} {}{}/{}{}  {}fb:{}{}", CLEAR_LINE, colour(video_rate),
                       RESET, format_rate(video_rate), DIM, RESET, format_count(in.video_packets),
                       colour(tracking_rate), RESET, format_rate(tracking_rate), DIM, RESET,
                       format_count(in.tracking_packets), DIM, RESET, in.video_feedback);
}

double elapsed_seconds(const timespec& previous, const timespec& now) {
    if (now.tv_sec < previous.tv_sec || (now.tv_sec == previous.tv_sec && now.tv_nsec < previous.tv_nsec))
        return 0.0;
    long long sec = static_cast<long long>(now.tv_sec - previous.tv_sec);
    long long nsec = now.tv_nsec - previous.tv_nsec;
    if (nsec < 0) {
        --sec;
        nsec += 1'000'000'000;
    }
    return static_cast<double>(sec) + static_cast<double>(nsec) / 1e9;
}

timespec monotonic_now() {
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        fatal(std::string(MSG_FAILED_CLOCK) + ": " + net::IoError::last_os_error().text());
    return ts;
}

}  // namespace vantrel::console
