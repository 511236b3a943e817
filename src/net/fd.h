// One owner per descriptor.
#pragma once

#include <utility>

#include "net/io_error.h"

namespace vantrel::net {

// Move-only owner of a file descriptor; closes it when released. -1 means empty.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    void reset(int fd = -1) noexcept;

    // A second close-on-exec descriptor of the same open file, numbered 3 or above.
    IoResult<Fd> duplicate() const;

private:
    int fd_ = -1;
};

// A close-on-exec duplicate (numbered 3 or above) of a descriptor owned elsewhere.
IoResult<Fd> duplicate_fd(int fd);

}  // namespace vantrel::net
