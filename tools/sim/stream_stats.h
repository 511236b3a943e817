// Statistics of stamped streams: loss and reordering from sequence numbers, latency percentiles from a
// log-linear histogram (about 1.6% resolution, fixed memory).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vantrel::sim {

class LatencyHistogram {
public:
    void add(std::uint64_t ns);
    void clear();
    void merge(const LatencyHistogram& other);
    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }
    // The latency below which `fraction` of the samples lie (the middle of its bucket; exact below 64 ns).
    std::uint64_t percentile(double fraction) const;

private:
    static constexpr std::size_t SUB = 64;
    static constexpr std::size_t BUCKETS = SUB + 58 * SUB;
    static std::size_t bucket(std::uint64_t ns);
    static std::uint64_t bucket_middle(std::size_t index);

    std::array<std::uint64_t, BUCKETS> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

// Follows the sequence numbers of one stream. A number above the highest seen so far opens a gap of
// lost packets; one below it is out of order and closes one lost packet; a 0 after higher numbers is a
// new run of the stream (the sender started over).
class SequenceTracker {
public:
    void add(std::uint64_t sequence);
    std::uint64_t received() const { return received_; }
    std::uint64_t lost() const { return lost_; }
    std::uint64_t out_of_order() const { return out_of_order_; }
    std::uint64_t duplicates() const { return duplicates_; }
    std::uint64_t restarts() const { return restarts_; }

private:
    bool started_ = false;
    std::uint64_t highest_ = 0;
    std::uint64_t received_ = 0, lost_ = 0, out_of_order_ = 0, duplicates_ = 0, restarts_ = 0;
};

}  // namespace vantrel::sim
