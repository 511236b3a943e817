#include "forwarder/session_control.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vantrel::forwarder {

net::IoResult<net::Fd> SessionControl::make_wakeup() {
    net::Fd wakeup(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeup) return std::unexpected(net::IoError::last_os_error());
    return wakeup;
}

void SessionControl::stop(SessionEnd end) noexcept {
    {
        // Under the lock, so that whoever sees the session stopped also sees why.
        std::lock_guard guard(lock_);
        if (!active_.exchange(false, std::memory_order_acq_rel)) return;
        end_ = std::move(end);
        // Blocked receives see the end of the stream, blocked sends a broken pipe.
        for (const auto& tunnel : tunnels_) (void)::shutdown(tunnel.get(), SHUT_RDWR);
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeup_.get(), &one, sizeof one);
}

net::IoResult<void> SessionControl::add_tunnel(int fd) {
    auto copy = net::duplicate_fd(fd);
    if (!copy) return std::unexpected(copy.error());
    std::lock_guard guard(lock_);
    if (!active()) (void)::shutdown(copy->get(), SHUT_RDWR);
    tunnels_.push_back(std::move(*copy));
    return {};
}

std::optional<SessionEnd> SessionControl::end() const {
    std::lock_guard guard(lock_);
    if (active()) return std::nullopt;
    return end_;
}

}  // namespace vantrel::forwarder
