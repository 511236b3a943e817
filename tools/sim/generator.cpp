#include "sim/generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/stamp.h"
#include "sim/text.h"

namespace vantrel::sim {

namespace {
constexpr std::uint64_t NS_PER_S = 1'000'000'000;
constexpr std::size_t READ_CHUNK = 1 << 16;

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}
}  // namespace

std::expected<std::shared_ptr<FileSource>, std::string> FileSource::open(const std::string& path, bool loop) {
    net::Fd owned;
    int source_fd = 0;
    if (path != "-") {
        owned = net::Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!owned) return fail(format("cannot open {}: {}", path, net::IoError::last_os_error().text()));
        source_fd = owned.get();
    }
    struct stat st {};
    if (::fstat(source_fd, &st) != 0)
        return fail(format("cannot stat {}: {}", path, net::IoError::last_os_error().text()));
    bool regular = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    if (loop && !regular) return fail(format("{} is not a regular file: it cannot loop", path));
    return std::shared_ptr<FileSource>(new FileSource(std::move(owned), source_fd, !regular, loop));
}

bool FileSource::read_more(std::size_t want) {
    if (head_ > 0 && head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    }
    while (buf_.size() - head_ < want && !eof_) {
        if (pollable_ && !readable_) return false;
        std::size_t old = buf_.size();
        buf_.resize(old + std::max(READ_CHUNK, want));
        ssize_t n = ::read(fd_, buf_.data() + old, buf_.size() - old);
        buf_.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno == EINTR) continue;
        if (pollable_) readable_ = false;  // one read per readiness, so that it never blocks
        if (n > 0) {
            rewound_ = false;
            continue;
        }
        if (n < 0 && errno == EAGAIN) return false;
        // End of file (or a read error, which ends the source the same way). When looping, the file's
        // tail goes out as a short packet and the next packet starts over (an empty file just ends).
        if (loop_ && !rewound_) {
            if (buf_.size() > head_) return true;
            if (::lseek(fd_, 0, SEEK_SET) == 0) {
                rewound_ = true;
                continue;
            }
        }
        eof_ = true;
    }
    return true;
}

std::optional<std::span<const std::uint8_t>> FileSource::peek(std::size_t want) {
    if (!read_more(want)) return std::nullopt;
    std::size_t n = std::min(want, buf_.size() - head_);
    return std::span<const std::uint8_t>(buf_.data() + head_, n);
}

void FileSource::consume(std::size_t n) {
    head_ += n;
}

Generator::Generator(const StreamSettings& settings, std::uint16_t port, std::uint64_t start_ns,
                     std::shared_ptr<FileSource> source)
    : settings_(settings),
      stream_id_(settings.stream_id.value_or(port)),
      start_ns_(start_ns),
      source_(std::move(source)),
      rng_(splitmix64(settings.seed ^ (std::uint64_t{port} << 32))) {
    if (!source_) {
        pattern_.resize(settings_.size_max);
        for (std::size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
}

std::uint64_t Generator::due_count(std::uint64_t now_ns) const {
    if (settings_.rate == 0) return UINT64_MAX;
    if (now_ns < start_ns_) return 0;
    // Packet k falls due at ceil(k * 1e9 / rate) ns after the start, so floor(elapsed * rate / 1e9) + 1
    // are due; split into whole seconds and the rest to stay within 64 bits.
    std::uint64_t elapsed = now_ns - start_ns_;
    return (elapsed / NS_PER_S) * settings_.rate + (elapsed % NS_PER_S) * settings_.rate / NS_PER_S + 1;
}

std::uint64_t Generator::slot_ns(std::uint64_t sequence) const {
    std::uint64_t rest = (sequence % settings_.rate) * NS_PER_S;
    return start_ns_ + (sequence / settings_.rate) * NS_PER_S + (rest + settings_.rate - 1) / settings_.rate;
}

bool Generator::due(std::uint64_t now_ns) const {
    if (finished_ || starved_) return false;
    return next_ < due_count(now_ns);
}

std::optional<std::uint64_t> Generator::next_due_ns() const {
    if (finished_ || starved_ || settings_.rate == 0) return std::nullopt;
    return slot_ns(next_);
}

std::uint32_t Generator::pick_size() {
    if (settings_.size_min == settings_.size_max) return settings_.size_min;
    // xorshift64*: cheap, and the same sizes for the same seed.
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    std::uint64_t r = rng_ * 0x2545F4914F6CDD1Du;
    return settings_.size_min +
           static_cast<std::uint32_t>(r % (settings_.size_max - settings_.size_min + 1u));
}

void Generator::fill(OutBuffer& out, std::uint64_t now_ns, std::size_t high_water) {
    if (finished_) return;
    starved_ = false;
    std::uint64_t limit = due_count(now_ns);
    if (settings_.count) limit = std::min(limit, *settings_.count);
    while (next_ < limit && out.size() < high_water) {
        if (settings_.skip && next_ >= settings_.skip->first && next_ <= settings_.skip->second) {
            next_ =
                settings_.skip->second == UINT64_MAX ? limit : std::min(settings_.skip->second + 1, limit);
            continue;
        }
        std::uint32_t size = pick_size();
        if (source_) {
            auto chunk = source_->peek(size);
            if (!chunk) {
                starved_ = true;
                return;
            }
            if (chunk->empty()) {
                finished_ = true;
                return;
            }
            append_frame(out, *chunk);
            size = static_cast<std::uint32_t>(chunk->size());
            source_->consume(size);
        } else {
            std::uint8_t* p = out.grow(4 + std::size_t{size});
            net::store_be32(p, size);
            std::size_t offset = 0;
            if (settings_.stamp) {
                write_stamp(p + 4, Stamp{stream_id_, next_, now_ns});
                offset = STAMP_SIZE;
            }
            std::memcpy(p + 4 + offset, pattern_.data() + offset, size - offset);
        }
        ++sent_;
        bytes_ += size;
        ++next_;
    }
    if (settings_.count && next_ >= *settings_.count) finished_ = true;
}

}  // namespace vantrel::sim
