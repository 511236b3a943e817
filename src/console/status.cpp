#include "console/status.h"

#include <cstdio>

#include "console/console.h"
#include "net/io_error.h"

namespace vantrel::console {
namespace {

// Fixed decimals, nearest value, ties to the even digit (printf rounds the exact binary value
// in the default round-to-nearest-even mode).
std::string fixed(double value, int decimals) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace

std::string waiting_line(std::uint64_t frame_counter) {
    char frame = SPINNER_FRAMES[frame_counter % SPINNER_FRAMES.size()];
    std::string s;
    s.append(CLEAR_LINE).append(DIM).append("[").append(YELLOW).append(1, frame).append(RESET).append(DIM);
    s.append("] Waiting for Vantrel USB mode...").append(RESET);
    return s;
}

std::string route_lines() {
    std::string s = "\n";
    s.append("  ").append(CYAN).append("Video").append(RESET).append("    ");
    s.append(DIM).append("USB:5000").append(RESET).append(" -> ").append(DIM).append("UDP 127.0.0.1:5000");
    s.append(RESET).append("\n");
    s.append("  ").append(CYAN).append("Tracking").append(RESET).append(" ");
    s.append(DIM).append("USB:4242").append(RESET).append(" -> ").append(DIM).append("UDP 127.0.0.1:4242");
    s.append(RESET).append("\n");
    s.append("\n");
    return s;
}

std::string disconnected_line() {
    std::string s;
    s.append(YELLOW).append("Disconnected.").append(RESET).append(" Waiting for reconnect...\n");
    return s;
}

std::string format_rate(double rate) {
    if (rate >= 1'000'000.0) {
        std::string s(BOLD);
        return s.append(fixed(rate / 1'000'000.0, 1)).append("MB/s").append(RESET);
    }
    if (rate >= 1000.0) return fixed(rate / 1000.0, 0) + "KB/s";
    if (rate > 0.0) return fixed(rate, 0) + "B/s";
    std::string s(DIM);
    return s.append("--").append(RESET);
}

std::string format_count(std::uint64_t count) {
    if (count >= 1'000'000) return fixed(static_cast<double>(count) / 1'000'000.0, 1) + "M";
    if (count >= 1000) return fixed(static_cast<double>(count) / 1000.0, 1) + "K";
    return std::to_string(count);
}

std::string status_line(const StatusInputs& in) {
    double video_rate = 0, tracking_rate = 0;
    if (in.dt > 0) {
        video_rate = static_cast<double>(in.video_bytes - in.previous_video_bytes) / in.dt;
        tracking_rate = static_cast<double>(in.tracking_bytes - in.previous_tracking_bytes) / in.dt;
    }
    auto colour = [](double rate) { return rate > 0 ? GREEN : DIM; };
    std::string s(CLEAR_LINE);
    s.append("  ").append(colour(video_rate)).append("V").append(RESET).append(" ");
    s.append(format_rate(video_rate))
        .append(DIM)
        .append("/")
        .append(RESET)
        .append(format_count(in.video_packets));
    s.append("  ").append(colour(tracking_rate)).append("T").append(RESET).append(" ");
    s.append(format_rate(tracking_rate)).append(DIM).append("/").append(RESET);
    s.append(format_count(in.tracking_packets));
    s.append("  ").append(DIM).append("fb:").append(RESET).append(std::to_string(in.video_feedback));
    return s;
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
