// The TCP end of the benchmark's peer run: libusbmuxd's iproxy forwards a local TCP port to a port of
// the simulated app, and this reader stands where a consumer of iproxy would. It writes the
// health-check request (the app streams only after a first frame), then reads the framed byte stream
// in large chunks, drops the app's answer and counts frames, payload bytes, sequence gaps and one-way
// latency of stamped payloads. It counts WARMUP seconds after the first frame, prints
// {"type":"window-start"}, counts SECONDS more and prints one line in the shape of the final line of
// `vantrel-sim receive --json`, so that the harness treats both alike.
//
// Usage: tcp_reader PORT WARMUP SECONDS [NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/fd.h"
#include "net/io.h"
#include "net/wire.h"
#include "sim/stamp.h"
#include "sim/stream_stats.h"

namespace {

using vantrel::sim::LatencyHistogram;
using vantrel::sim::monotonic_ns;
using vantrel::sim::STAMP_SIZE;

constexpr std::size_t CHUNK = 1 << 20;
constexpr std::uint64_t NS_PER_S = 1'000'000'000;
constexpr std::uint8_t HEALTH_CHECK_FRAME[] = {0x00, 0x00, 0x00, 0x03, 0xFE, 0x00, 0x01};

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

struct Totals {
    std::uint64_t frames = 0, bytes = 0, lost = 0;
    LatencyHistogram latency;
};

std::string micros(const LatencyHistogram& h, std::uint64_t ns) {
    if (h.count() == 0) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(ns) / 1000.0);
    return buf;
}

template <typename T>
bool parse(const char* text, T& value) {
    const auto* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc{} && ptr == end;
}

vantrel::net::Fd connect_loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    // iproxy may still be starting.
    for (int attempt = 0; attempt < 200 && !g_stop; ++attempt) {
        vantrel::net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return vantrel::net::Fd();
}

// Splits the byte stream into frames; keeps each frame's prefix and its first STAMP_SIZE payload bytes.
class FrameCounter {
public:
    template <typename OnFrame>
    void feed(const std::uint8_t* data, std::size_t size, OnFrame&& on_frame) {
        std::size_t at = 0;
        while (at < size) {
            if (head_filled_ < 4) {
                const std::size_t take = std::min(4 - head_filled_, size - at);
                std::memcpy(head_ + head_filled_, data + at, take);
                head_filled_ += take;
                at += take;
                if (head_filled_ < 4) return;
                length_ = vantrel::net::load_be32(head_);
                remaining_ = length_;
            }
            const std::size_t taken = std::min<std::size_t>(remaining_, size - at);
            const std::size_t kept = head_filled_ - 4;
            if (kept < STAMP_SIZE) {
                const std::size_t copy = std::min(STAMP_SIZE - kept, taken);
                std::memcpy(head_ + head_filled_, data + at, copy);
                head_filled_ += copy;
            }
            at += taken;
            remaining_ -= taken;
            if (remaining_ == 0) {
                on_frame(length_, head_ + 4, head_filled_ - 4);
                head_filled_ = 0;
            }
        }
    }

private:
    std::uint8_t head_[4 + STAMP_SIZE] = {};
    std::size_t head_filled_ = 0;
    std::uint32_t length_ = 0;
    std::size_t remaining_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    double warmup = 0, seconds = 0;
    if (argc < 4 || argc > 5 || !parse(argv[1], port) || !parse(argv[2], warmup) ||
        !parse(argv[3], seconds)) {
        std::fprintf(stderr, "usage: tcp_reader PORT WARMUP SECONDS [NAME]\n");
        return 2;
    }
    const std::string name = argc == 5 ? argv[4] : "video";
    struct sigaction action {};
    action.sa_handler = on_signal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    auto fd = connect_loopback(port);
    if (!fd) {
        std::fprintf(stderr, "tcp_reader: cannot connect to 127.0.0.1:%u\n", port);
        return 1;
    }
    if (!vantrel::net::send_all(fd.get(), HEALTH_CHECK_FRAME)) {
        std::fprintf(stderr, "tcp_reader: cannot send the health check\n");
        return 1;
    }

    std::vector<std::uint8_t> chunk(CHUNK);
    FrameCounter frames;
    Totals totals;
    bool health_answer = true, started = false, counting = false;
    std::uint64_t highest = 0, window_start = 0, window_end = 0;

    while (!g_stop) {
        std::uint64_t now = monotonic_ns();
        if (window_start != 0 && !counting && now >= window_start) {
            counting = true;
            totals = Totals();
            std::printf("{\"type\":\"window-start\"}\n");
            std::fflush(stdout);
        }
        if (counting && now >= window_end) break;
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        const ssize_t n = ::recv(fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        now = monotonic_ns();
        frames.feed(chunk.data(), static_cast<std::size_t>(n),
                    [&](std::uint32_t length, const std::uint8_t* head, std::size_t head_size) {
                        if (health_answer) {
                            health_answer = false;
                            window_start = now + static_cast<std::uint64_t>(warmup * NS_PER_S);
                            window_end = window_start + static_cast<std::uint64_t>(seconds * NS_PER_S);
                            return;
                        }
                        totals.frames += 1;
                        totals.bytes += length;
                        const auto stamp = vantrel::sim::read_stamp(head, head_size);
                        if (!stamp) return;
                        if (started && stamp->sequence > highest + 1)
                            totals.lost += stamp->sequence - highest - 1;
                        if (!started || stamp->sequence > highest) highest = stamp->sequence;
                        started = true;
                        totals.latency.add(now > stamp->sent_ns ? now - stamp->sent_ns : 0);
                    });
    }
    const auto& h = totals.latency;
    std::printf(
        "{\"type\":\"final\",\"stream\":\"%s\",\"received\":%llu,\"bytes\":%llu,\"lost\":%llu,"
        "\"p50_us\":%s,\"p99_us\":%s,\"max_us\":%s}\n",
        name.c_str(), static_cast<unsigned long long>(totals.frames),
        static_cast<unsigned long long>(totals.bytes), static_cast<unsigned long long>(totals.lost),
        micros(h, h.percentile(0.5)).c_str(), micros(h, h.percentile(0.99)).c_str(),
        micros(h, h.max()).c_str());
    return counting ? 0 : 1;
}
