#include "net/io_error.h"

#include <cstring>

namespace vantrel::net {

ErrorKind kind_from_errno(int errnum) {
    switch (errnum) {
        case EAGAIN: return ErrorKind::WouldBlock;  // EWOULDBLOCK is the same number on Linux
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case EINVAL: return ErrorKind::InvalidInput;
        default: return ErrorKind::Other;
    }
}

IoError IoError::from_errno(int errnum) {
    return IoError(kind_from_errno(errnum), errnum);
}

std::string IoError::text() const {
    if (os_error_ == 0) return message_;
    char buf[256];
    // The GNU strerror_r returns a pointer to the description, which need not be buf.
    const char* description = strerror_r(os_error_, buf, sizeof buf);
    std::string out(description);
    out += " (os error ";
    out += std::to_string(os_error_);
    out += ')';
    return out;
}

}  // namespace vantrel::net
