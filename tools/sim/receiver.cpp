#include "sim/receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "net/address.h"
#include "net/fd.h"
#include "net/wire.h"
#include "sim/address.h"
#include "sim/event_loop.h"
#include "sim/stamp.h"
#include "sim/stream_stats.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {

constexpr std::uint64_t NS_PER_S = 1'000'000'000;
constexpr std::uint64_t NS_PER_MS = 1'000'000;
constexpr unsigned BATCH = 64;
// Only the stamp is looked at; MSG_TRUNC still reports each datagram's full length.
constexpr std::size_t PEEK_BYTES = STAMP_SIZE;
constexpr std::uint64_t MAX_FEEDBACK_BURST = 1000;

struct Totals {
    std::uint64_t received = 0, bytes = 0, unstamped = 0;
    std::uint64_t lost = 0, out_of_order = 0, duplicates = 0, restarts = 0;
};

struct Path {
    std::string name;
    net::Fd fd;
    std::map<std::uint32_t, SequenceTracker> streams;  // by stamp stream id
    std::uint64_t received = 0, bytes = 0, unstamped = 0;
    LatencyHistogram second, total;
    Totals reported;  // at the previous per-second line

    Totals totals() const {
        Totals t{received, bytes, unstamped, 0, 0, 0, 0};
        for (const auto& [id, s] : streams) {
            t.lost += s.lost();
            t.out_of_order += s.out_of_order();
            t.duplicates += s.duplicates();
            t.restarts += s.restarts();
        }
        return t;
    }
};

std::string micros(const LatencyHistogram& h, std::uint64_t ns, bool json) {
    if (h.count() == 0) return json ? "null" : "-";
    return format("{:.1f}", static_cast<double>(ns) / 1000.0);
}

void print_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

using Figures = std::vector<std::pair<std::string_view, std::string>>;

// One line of figures: "HEAD key=value ...", or with --json HEAD continued as a JSON object; with
// the latency percentiles of `h` at its end when there is one.
void print_figures(bool json, std::string head, Figures figures, const LatencyHistogram* h) {
    if (h)
        figures.insert(figures.end(), {{"p50_us", micros(*h, h->percentile(0.50), json)},
                                       {"p99_us", micros(*h, h->percentile(0.99), json)},
                                       {"max_us", micros(*h, h->max(), json)}});
    for (const auto& [key, value] : figures)
        head += json ? format(",\"{}\":{}", key, value) : format(" {}={}", key, value);
    print_line(json ? head + "}" : head);
}

void print_second(Path& p, std::uint64_t t, bool json) {
    Totals now = p.totals();
    auto delta = [](std::uint64_t a, std::uint64_t b) {
        return std::to_string(static_cast<std::int64_t>(a - b));
    };
    print_figures(
        json,
        json ? format(R"({{"type":"second","t":{},"stream":"{}")", t, p.name) : format("t={} {}", t, p.name),
        {{"received", delta(now.received, p.reported.received)},
         {"bytes", delta(now.bytes, p.reported.bytes)},
         {"lost", delta(now.lost, p.reported.lost)},
         {"out_of_order", delta(now.out_of_order, p.reported.out_of_order)}},
        &p.second);
    p.reported = now;
    p.second.clear();
}

void print_final(const Path& p, bool json) {
    Totals t = p.totals();
    print_figures(json, json ? format(R"({{"type":"final","stream":"{}")", p.name) : "final " + p.name,
                  {{"received", std::to_string(t.received)},
                   {"bytes", std::to_string(t.bytes)},
                   {"lost", std::to_string(t.lost)},
                   {"out_of_order", std::to_string(t.out_of_order)},
                   {"duplicates", std::to_string(t.duplicates)},
                   {"restarts", std::to_string(t.restarts)},
                   {"unstamped", std::to_string(t.unstamped)}},
                  &p.total);
}

std::expected<net::Fd, std::string> bind_udp(const std::string& address, std::uint32_t receive_buffer) {
    auto fd = bound_socket(address, SOCK_DGRAM, "bind");
    if (!fd) return fd;
    int size = static_cast<int>(receive_buffer);
    // Beyond rmem_max only with privilege; fall back to what is allowed.
    if (::setsockopt(fd->get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd->get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// Feedback datagrams to the sender of the latest video datagram: sequence k falls due k / rate
// seconds after the first video datagram was seen.
struct Feedback {
    std::uint64_t rate = 0;
    std::optional<net::SocketAddress> to{};
    std::uint64_t due_from = 0, sent = 0;
    std::vector<std::uint8_t> payload;

    void seen(const sockaddr_storage& from, socklen_t length, std::uint64_t now) {
        if (!to) due_from = now;
        to = net::SocketAddress::from(reinterpret_cast<const sockaddr*>(&from), length);
    }
    void send_due(int fd, std::uint64_t now) {
        if (rate == 0 || !to) return;
        std::uint64_t elapsed = now - due_from;
        std::uint64_t due = (elapsed / NS_PER_S) * rate + (elapsed % NS_PER_S) * rate / NS_PER_S + 1;
        for (std::uint64_t burst = 0; sent < due && burst < MAX_FEEDBACK_BURST; ++burst, ++sent) {
            if (payload.size() >= STAMP_SIZE)
                write_stamp(payload.data(), Stamp{FEEDBACK_STREAM_ID, sent, now});
            ::sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL, to->get(), to->size());
        }
    }
    std::optional<std::uint64_t> next_ns() const {
        if (rate == 0 || !to) return std::nullopt;
        return due_from + (sent / rate) * NS_PER_S + ((sent % rate) * NS_PER_S + rate - 1) / rate;
    }
};

// Buffers for one recvmmsg call: only the stamp of each datagram is read.
struct Batch {
    std::array<std::array<std::uint8_t, PEEK_BYTES>, BATCH> buffers{};
    std::array<iovec, BATCH> iovs{};
    std::array<mmsghdr, BATCH> msgs{};
    std::array<sockaddr_storage, BATCH> sources{};

    int receive(int fd) {
        for (unsigned j = 0; j < BATCH; ++j) {
            iovs[j] = iovec{buffers[j].data(), PEEK_BYTES};
            msgs[j].msg_hdr = msghdr{};
            msgs[j].msg_hdr.msg_iov = &iovs[j];
            msgs[j].msg_hdr.msg_iovlen = 1;
            msgs[j].msg_hdr.msg_name = &sources[j];
            msgs[j].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
        return ::recvmmsg(fd, msgs.data(), BATCH, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    }
};

// Reads every waiting datagram of a path, a batch per call; video datagrams tell where feedback goes.
void drain(Path& p, Batch& batch, Feedback* feedback) {
    for (int round = 0; round < 64; ++round) {
        int got = batch.receive(p.fd.get());
        if (got < 0 && errno == EINTR) continue;
        // A refused earlier feedback datagram shows up here as ECONNREFUSED: nothing to read then.
        if (got <= 0) return;
        std::uint64_t arrived = monotonic_ns();
        for (std::size_t j = 0; j < static_cast<std::size_t>(got); ++j) {
            std::size_t length = batch.msgs[j].msg_len;
            p.received += 1;
            p.bytes += length;
            auto stamp = read_stamp(batch.buffers[j].data(), std::min(length, PEEK_BYTES));
            if (!stamp) {
                p.unstamped += 1;
                continue;
            }
            p.streams[stamp->stream_id].add(stamp->sequence);
            std::uint64_t latency = arrived > stamp->sent_ns ? arrived - stamp->sent_ns : 0;
            p.second.add(latency);
            p.total.add(latency);
        }
        if (feedback) {
            std::size_t last = static_cast<std::size_t>(got) - 1;
            feedback->seen(batch.sources[last], batch.msgs[last].msg_hdr.msg_namelen, arrived);
        }
        if (got < static_cast<int>(BATCH)) return;
    }
}

}  // namespace

int run_receiver(const ReceiverConfig& config) {
    std::array<Path, 2> paths;
    paths[0].name = "video";
    paths[1].name = "tracking";
    EventLoop loop;
    auto opened = loop.open();
    for (std::size_t i = 0; opened && i < 2; ++i) {
        auto fd = bind_udp(i == 0 ? config.video_address : config.tracking_address, config.receive_buffer);
        if (!fd) opened = std::unexpected(fd.error());
        paths[i].fd = std::move(fd).value_or(net::Fd());
        loop.watch(paths[i].fd.get(), Key{Key::Source::Datagrams, i});
    }
    if (!opened) {
        std::fprintf(stderr, "vantrel-sim receive: %s\n", opened.error().c_str());
        return 1;
    }
    print_line(config.json ? R"({"type":"ready"})" : "ready");

    Batch batch;
    Feedback feedback{
        .rate = config.feedback_rate,
        .payload = std::vector<std::uint8_t>(std::max<std::uint32_t>(config.feedback_size, 1), 0)};
    const std::uint64_t start = monotonic_ns();
    std::uint64_t next_tick = start + NS_PER_S, seconds = 0;
    const std::uint64_t end = config.duration_ms ? start + *config.duration_ms * NS_PER_MS : UINT64_MAX;
    while (!loop.stopped()) {
        std::uint64_t now = monotonic_ns();
        feedback.send_due(paths[0].fd.get(), now);
        for (; now >= next_tick; next_tick += NS_PER_S) {
            ++seconds;
            for (Path& p : paths)
                if (!config.quiet) print_second(p, seconds, config.json);
            for (Path& p : paths) p.second.clear();
        }
        if (now >= end) break;
        std::uint64_t wake = std::min({next_tick, end, feedback.next_ns().value_or(UINT64_MAX)});
        for (const Ready& ready : loop.wait(wake))
            drain(paths[ready.key.id], batch, ready.key.id == 0 ? &feedback : nullptr);
    }
    // Whatever arrived before the end still counts.
    drain(paths[0], batch, &feedback);
    drain(paths[1], batch, nullptr);
    for (const Path& p : paths) print_final(p, config.json);
    print_figures(config.json, config.json ? R"({"type":"final","stream":"feedback")" : "final feedback",
                  {{"sent", std::to_string(feedback.sent)}}, nullptr);
    return 0;
}

}  // namespace vantrel::sim
