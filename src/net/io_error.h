// The error value of every socket operation outside the multiplexer client.
#pragma once

#include <cerrno>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::net {

// The kinds the program tells apart; every other operating-system error is Other, and its text says
// what it was.
enum class ErrorKind {
    WouldBlock,     // EAGAIN: how a receive timeout shows
    TimedOut,       // ETIMEDOUT, or a wait of the program's own that ran out
    InvalidInput,   // EINVAL, or an address text that is not one
    InvalidData,    // a peer sent something malformed
    WriteZero,      // a send accepted nothing
    UnexpectedEof,  // the peer closed before a buffer was full
    Interrupted,    // a wait gave way to a stop of the program
    Other,
};

// Maps an errno value to its kind; numbers without a kind of their own give Other.
ErrorKind kind_from_errno(int errnum);

class IoError {
public:
    // An operating-system error: kind from the number, text "<description> (os error N)".
    static IoError from_errno(int errnum);
    // The current errno as an IoError.
    static IoError last_os_error() { return from_errno(errno); }
    // An error the program makes itself, with a fixed message.
    IoError(ErrorKind kind, std::string_view message) : kind_(kind), os_error_(0), message_(message) {}

    ErrorKind kind() const { return kind_; }
    std::optional<int> raw_os_error() const {
        return os_error_ != 0 ? std::optional<int>(os_error_) : std::nullopt;
    }
    // The text users see in the error line.
    std::string text() const;

    friend bool operator==(const IoError&, const IoError&) = default;

private:
    IoError(ErrorKind kind, int os_error) : kind_(kind), os_error_(os_error) {}

    ErrorKind kind_;
    int os_error_;
    std::string message_;
};

template <typename T>
using IoResult = std::expected<T, IoError>;

// The program's own fixed messages.
inline constexpr std::string_view MSG_FILL_WHOLE_BUFFER = "failed to fill whole buffer";
inline constexpr std::string_view MSG_WRITE_WHOLE_BUFFER = "failed to write whole buffer";
inline constexpr std::string_view MSG_INTERRUPTED = "interrupted";

}  // namespace vantrel::net
