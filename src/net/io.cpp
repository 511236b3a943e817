#include "net/io.h"

#include <sys/socket.h>

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

IoResult<void> recv_all(int fd, std::span<std::uint8_t> buf) {
    std::size_t filled = 0;
    return recv_resume(fd, buf, filled);
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

}  // namespace vantrel::net
