#include "net/fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace vantrel::net {

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        // close() is not retried: on Linux the descriptor is already gone after EINTR.
        ::close(fd_);
    }
    fd_ = fd;
}

IoResult<Fd> Fd::duplicate() const {
    return duplicate_fd(fd_);
}

IoResult<Fd> duplicate_fd(int fd) {
    // dup is not retried: F_DUPFD_CLOEXEC never fails with EINTR.
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return std::unexpected(IoError::last_os_error());
    return Fd(copy);
}

}  // namespace vantrel::net
