#include "sim/event_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <ctime>

#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
// A key in epoll's 64 bits: the source in the top byte, the id below it.
constexpr int SOURCE_SHIFT = 56;
constexpr std::uint64_t ID_MASK = (std::uint64_t{1} << SOURCE_SHIFT) - 1;

std::uint64_t pack(Key key) {
    return (std::uint64_t{static_cast<std::uint8_t>(key.source)} << SOURCE_SHIFT) | (key.id & ID_MASK);
}
Key unpack(std::uint64_t bits) {
    return Key{static_cast<Key::Source>(bits >> SOURCE_SHIFT), bits & ID_MASK};
}
}  // namespace

std::expected<void, std::string> EventLoop::open() {
    epoll_ = net::Fd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_) return fail(format("epoll: {}", net::IoError::last_os_error().text()));
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    signals_ = net::Fd(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_) return fail(format("signalfd: {}", net::IoError::last_os_error().text()));
    watch(signals_.get(), Key{Key::Source::Signals});
    return {};
}

bool EventLoop::watch(int fd, Key key, std::uint32_t events) {
    epoll_event ev{.events = events, .data = {.u64 = pack(key)}};
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void EventLoop::modify(int fd, Key key, std::uint32_t events) {
    epoll_event ev{.events = events, .data = {.u64 = pack(key)}};
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

void EventLoop::unwatch(int fd) {
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

std::span<const Ready> EventLoop::wait(std::optional<std::uint64_t> deadline_ns) {
    timespec ts{};
    if (deadline_ns) {
        std::uint64_t now = monotonic_ns();
        std::uint64_t left = *deadline_ns > now ? *deadline_ns - now : 0;
        ts.tv_sec = static_cast<time_t>(left / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(left % 1'000'000'000);
    }
    int n = ::epoll_pwait2(epoll_.get(), events_, MAX_EVENTS, deadline_ns ? &ts : nullptr, nullptr);
    if (n <= 0) return {};
    std::size_t kept = 0;
    for (int i = 0; i < n; ++i) {
        Key key = unpack(events_[i].data.u64);
        if (key.source != Key::Source::Signals) {
            ready_[kept++] = Ready{key, events_[i].events};
            continue;
        }
        signalfd_siginfo info{};
        while (::read(signals_.get(), &info, sizeof info) == sizeof info) stopped_ = true;
    }
    return std::span<const Ready>(ready_, kept);
}

}  // namespace vantrel::sim
