// The error of the multiplexer client.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "net/io_error.h"

namespace vantrel::mux {

class MuxError {
public:
    enum class Variant { Io, Protocol, Refused };

    static MuxError io(net::IoError error) { return MuxError(Variant::Io, std::move(error), {}, 0); }
    static MuxError protocol(std::string message) {
        return MuxError(Variant::Protocol, std::nullopt, std::move(message), 0);
    }
    static MuxError refused(std::int64_t code) { return MuxError(Variant::Refused, std::nullopt, {}, code); }

    Variant variant() const { return variant_; }
    // The I/O error of an Io variant.
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the Io variant always carries one.
    const net::IoError& io_error() const { return *io_; }
    // The message of a Protocol variant.
    const std::string& message() const { return message_; }
    // The daemon's result code of a Refused variant.
    std::int64_t code() const { return code_; }

    // "I/O error: …", "Protocol error: …" or "Device refused connection (code N)".
    std::string display() const;

private:
    MuxError(Variant v, std::optional<net::IoError> io, std::string message, std::int64_t code)
        : variant_(v), io_(std::move(io)), message_(std::move(message)), code_(code) {}

    Variant variant_;
    std::optional<net::IoError> io_;
    std::string message_;
    std::int64_t code_;
};

template <typename T>
using MuxResult = std::expected<T, MuxError>;

}  // namespace vantrel::mux
