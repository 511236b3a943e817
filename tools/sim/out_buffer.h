// Bytes queued for a non-blocking socket, written from the front and appended at the back.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "net/wire.h"

namespace vantrel::sim {

class OutBuffer {
public:
    std::size_t size() const { return tail_ - head_; }
    bool empty() const { return head_ == tail_; }
    const std::uint8_t* data() const { return buf_.get() + head_; }

    void consume(std::size_t n) {
        head_ += n;
        if (head_ == tail_) head_ = tail_ = 0;
    }
    void clear() { head_ = tail_ = 0; }

    // Appends `n` bytes that the caller fills in (left uninitialised: frames are large).
    std::uint8_t* grow(std::size_t n) {
        if (tail_ + n > cap_) make_room(n);
        std::uint8_t* p = buf_.get() + tail_;
        tail_ += n;
        return p;
    }
    void append(std::span<const std::uint8_t> bytes) {
        if (!bytes.empty()) std::memcpy(grow(bytes.size()), bytes.data(), bytes.size());
    }

private:
    void make_room(std::size_t n) {
        std::size_t used = size();
        if (used + n <= cap_ && head_ >= used) {  // moving costs no more than what was consumed
            std::memmove(buf_.get(), buf_.get() + head_, used);
        } else {
            std::size_t cap = std::max({cap_ * 2, used + n, std::size_t{4096}});
            auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(cap);
            if (used > 0) std::memcpy(bigger.get(), buf_.get() + head_, used);
            buf_ = std::move(bigger);
            cap_ = cap;
        }
        head_ = 0;
        tail_ = used;
    }

    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t cap_ = 0, head_ = 0, tail_ = 0;
};

enum class SendResult { Progress, Blocked, Gone };
// One send from the front of `out` to the non-blocking socket `fd` (again after a signal).
inline SendResult send_front(int fd, OutBuffer& out) {
    for (;;) {
        ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.consume(static_cast<std::size_t>(n));
            return SendResult::Progress;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN ? SendResult::Blocked : SendResult::Gone;
    }
}

// A frame of the device protocol: 4-byte big-endian length, then the payload.
inline void append_frame(OutBuffer& out, std::span<const std::uint8_t> payload) {
    std::uint8_t* p = out.grow(4 + payload.size());
    net::store_be32(p, static_cast<std::uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(p + 4, payload.data(), payload.size());
}

}  // namespace vantrel::sim
