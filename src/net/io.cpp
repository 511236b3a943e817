#include "net/io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace vantrel::net {

IoResult<void> recv_resume(int fd, std::span<std::uint8_t> buf, std::size_t& filled) {
    while (filled < buf.size()) {
        ssize_t n = ::recv(fd, buf.data() + filled, buf.size() - filled, 0);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return std::unexpected(IoError(ErrorKind::UnexpectedEof, MSG_FILL_WHOLE_BUFFER));
        } else if (errno != EINTR) {
            return std::unexpected(IoError::last_os_error());
        }
    }
    return {};
}

IoResult<void> send_all(int fd, std::span<const std::uint8_t> buf) {
    std::size_t sent = 0;
    while (sent < buf.size()) {
        ssize_t n = ::send(fd, buf.data() + sent, buf.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return std::unexpected(IoError(ErrorKind::WriteZero, MSG_WRITE_WHOLE_BUFFER));
        } else if (errno != EINTR) {
            return std::unexpected(IoError::last_os_error());
        }
    }
    return {};
}

IoError interrupted() {
    return IoError(ErrorKind::Interrupted, MSG_INTERRUPTED);
}

IoResult<bool> wait_until(int fd, short events, Deadline deadline, int interrupt_fd) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // poll() skips a negative descriptor.
        pollfd watched[2] = {{interrupt_fd, POLLIN, 0}, {fd, events, 0}};
        const int ready = ::poll(watched, 2, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0 && errno != EINTR) return std::unexpected(IoError::last_os_error());
        if (ready > 0 && watched[0].revents != 0) return std::unexpected(interrupted());
        if (ready > 0) return true;
    }
}

namespace {

// The loop of recv_all_until and send_all_until: `call(done)` moves bytes from `done` on without
// waiting; a call that would wait waits in poll() for `events` instead, until the deadline.
template <typename Call>
IoResult<void> transfer_until(int fd, std::size_t size, short events, Deadline deadline,
                              const IoError& on_timeout, const IoError& on_zero, int interrupt_fd,
                              Call call) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = call(done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return std::unexpected(on_zero);
        } else if (errno == EAGAIN) {
            auto ready = wait_until(fd, events, deadline, interrupt_fd);
            if (!ready) return std::unexpected(ready.error());
            if (!*ready) return std::unexpected(on_timeout);
        } else if (errno != EINTR) {
            return std::unexpected(IoError::last_os_error());
        }
    }
    return {};
}

}  // namespace

IoResult<void> recv_all_until(int fd, std::span<std::uint8_t> buf, Deadline deadline,
                              const IoError& on_timeout, int interrupt_fd) {
    static const IoError eof(ErrorKind::UnexpectedEof, MSG_FILL_WHOLE_BUFFER);
    return transfer_until(
        fd, buf.size(), POLLIN, deadline, on_timeout, eof, interrupt_fd,
        [&](std::size_t done) { return ::recv(fd, buf.data() + done, buf.size() - done, MSG_DONTWAIT); });
}

IoResult<void> send_all_until(int fd, std::span<const std::uint8_t> buf, Deadline deadline,
                              const IoError& on_timeout, int interrupt_fd) {
    static const IoError write_zero(ErrorKind::WriteZero, MSG_WRITE_WHOLE_BUFFER);
    return transfer_until(
        fd, buf.size(), POLLOUT, deadline, on_timeout, write_zero, interrupt_fd, [&](std::size_t done) {
            return ::send(fd, buf.data() + done, buf.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
}

}  // namespace vantrel::net
