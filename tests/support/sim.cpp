#include "support/sim.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "net/address.h"

namespace vantrel::test {

using Clock = std::chrono::steady_clock;

Sim::Sim(std::vector<std::string> options, bool scripted, const std::vector<std::string>& env)
    : child_([&] {
          std::vector<std::string> argv{built_program("vantrel-sim")};
          if (scripted) argv.emplace_back("--script");
          argv.insert(argv.end(), options.begin(), options.end());
          return Child::spawn(argv, env);
      }()) {
    if (!child_.wait_for(Child::Stream::Out, "ready\n", std::chrono::seconds(10)))
        throw std::runtime_error("vantrel-sim did not become ready: " + child_.err());
    cursor_ = child_.out().find("ready\n") + 6;
    event_cursor_ = cursor_;
}

std::optional<std::string> Sim::next_line(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto nl = child_.out().find('\n', cursor_);
        if (nl != std::string::npos) {
            std::string line = child_.out().substr(cursor_, nl - cursor_);
            cursor_ = nl + 1;
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds(0)) return std::nullopt;
        child_.wait_for(Child::Stream::Out, "\n", left, cursor_);
    }
}

std::string Sim::command(const std::string& line, std::chrono::milliseconds timeout) {
    child_.write_stdin(line + "\n");
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto reply = next_line(left > std::chrono::milliseconds(0) ? left : std::chrono::milliseconds(0));
        if (!reply) return "error: no reply to '" + line + "'";
        if (reply->starts_with("event ") || reply->starts_with("progress ") || reply == "ready") continue;
        return *reply;
    }
}

std::string Sim::ok(const std::string& line, std::chrono::milliseconds timeout) {
    std::string reply = command(line, timeout);
    if (!reply.starts_with("ok")) throw std::runtime_error("'" + line + "' answered '" + reply + "'");
    return reply;
}

std::vector<std::string> Sim::events() {
    child_.pump_for(std::chrono::milliseconds(0));
    std::vector<std::string> out;
    std::size_t pos = 0;
    const std::string& text = child_.out();
    for (;;) {
        auto nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        std::string line = text.substr(pos, nl - pos);
        if (line.starts_with("event ")) out.push_back(line.substr(6));
        pos = nl + 1;
    }
    return out;
}

bool Sim::wait_event(const std::string& event, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::string& text = child_.out();
        for (;;) {
            auto nl = text.find('\n', event_cursor_);
            if (nl == std::string::npos) break;
            std::string line = text.substr(event_cursor_, nl - event_cursor_);
            event_cursor_ = nl + 1;
            if (line.starts_with("event " + event)) return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds(0)) return false;
        child_.wait_for(Child::Stream::Out, "\n", left, event_cursor_);
    }
}

bool Sim::saw_event(const std::string& event, std::chrono::milliseconds timeout) {
    return child_.wait_for(Child::Stream::Out, "event " + event + "\n", timeout);
}

std::size_t Sim::count_events(const std::string& event) const {
    return child_.count(Child::Stream::Out, "event " + event + "\n");
}

UdpReceiver::UdpReceiver(std::uint16_t port) : UdpReceiver("127.0.0.1:" + std::to_string(port)) {}

UdpReceiver::UdpReceiver(const std::string& address) {
    const auto parsed = net::parse_socket_address(address);
    if (!parsed) throw std::runtime_error("not a numeric address: " + address);
    fd_ = ::socket(parsed->family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (fd_ < 0 || ::bind(fd_, parsed->get(), parsed->size()) != 0)
        throw std::runtime_error("cannot bind UDP " + address);
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> UdpReceiver::receive(std::chrono::milliseconds timeout, sockaddr_storage* from) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::string buf(70000, '\0');
    sockaddr_storage src{};
    socklen_t len = sizeof src;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
    if (n < 0) return std::nullopt;
    if (from) *from = src;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

std::optional<std::string> UdpReceiver::receive(std::chrono::milliseconds timeout, sockaddr_in* from) {
    sockaddr_storage src{};
    auto got = receive(timeout, &src);
    if (got && from) std::memcpy(from, &src, sizeof *from);
    return got;
}

void UdpReceiver::send_to(const std::string& data, const sockaddr_storage& to) {
    const socklen_t size = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), size);
}

void UdpReceiver::send_to(const std::string& data, const sockaddr_in& to) {
    ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string to_hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        out += digits[static_cast<std::size_t>(c >> 4)];
        out += digits[static_cast<std::size_t>(c & 15)];
    }
    return out;
}

}  // namespace vantrel::test
