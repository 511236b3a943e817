// Packet generator of the simulated app: frames at a rate, of a size or size range, generated or cut
// from a file, optionally stamped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/fd.h"
#include "sim/command.h"
#include "sim/out_buffer.h"

namespace vantrel::sim {

// Payload bytes from a file or standard input. A regular file is read when needed; a pipe or terminal
// only after the event loop has seen it readable, so that reading never blocks the simulator.
class FileSource {
public:
    // "-" is standard input (shared, never closed); anything else a path opened read-only.
    static std::expected<std::shared_ptr<FileSource>, std::string> open(const std::string& path, bool loop);

    // The next `want` bytes, fewer at the end of the file; empty at the end; nullopt when a pipe has
    // nothing yet (wait until fd() is readable, then call mark_readable()).
    std::optional<std::span<const std::uint8_t>> peek(std::size_t want);
    void consume(std::size_t n);

    bool pollable() const { return pollable_; }
    int fd() const { return fd_; }
    void mark_readable() { readable_ = true; }

private:
    FileSource(net::Fd owned, int fd, bool pollable, bool loop)
        : owned_(std::move(owned)), fd_(fd), pollable_(pollable), loop_(loop) {}
    bool read_more(std::size_t want);

    net::Fd owned_;
    int fd_;
    bool pollable_;
    bool loop_;
    bool readable_ = false;
    bool eof_ = false;
    bool rewound_ = false;
    std::vector<std::uint8_t> buf_;
    std::size_t head_ = 0;
};

class Generator {
public:
    // `source` is required when settings.file is set.
    Generator(const StreamSettings& settings, std::uint16_t port, std::uint64_t start_ns,
              std::shared_ptr<FileSource> source = nullptr);

    // Appends the frames due at `now_ns` to `out` while it holds less than `high_water` bytes.
    void fill(OutBuffer& out, std::uint64_t now_ns, std::size_t high_water);

    // Every packet has been put into a buffer (count reached or file ended).
    bool finished() const { return finished_; }
    // Waiting for the file source to become readable.
    bool starved() const { return starved_; }
    // A packet is due at `now_ns` (always, at rate 0, unless finished or starved).
    bool due(std::uint64_t now_ns) const;
    // When the next packet falls due; nullopt at rate 0 or when nothing more is coming.
    std::optional<std::uint64_t> next_due_ns() const;

    std::uint64_t sent() const { return sent_; }
    std::uint64_t bytes() const { return bytes_; }
    const StreamSettings& settings() const { return settings_; }
    FileSource* source() const { return source_.get(); }

private:
    // Packets due by `now_ns`: sequence numbers 0 .. result-1.
    std::uint64_t due_count(std::uint64_t now_ns) const;
    std::uint64_t slot_ns(std::uint64_t sequence) const;
    std::uint32_t pick_size();

    StreamSettings settings_;
    std::uint32_t stream_id_;
    std::uint64_t start_ns_;
    std::shared_ptr<FileSource> source_;
    std::vector<std::uint8_t> pattern_;
    std::uint64_t rng_;
    std::uint64_t next_ = 0;  // next sequence number
    std::uint64_t sent_ = 0, bytes_ = 0;
    bool finished_ = false, starved_ = false;
};

}  // namespace vantrel::sim
