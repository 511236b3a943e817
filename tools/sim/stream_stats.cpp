#include "sim/stream_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vantrel::sim {

std::size_t LatencyHistogram::bucket(std::uint64_t ns) {
    if (ns < SUB) return static_cast<std::size_t>(ns);
    // ns >> shift lies in [SUB, 2*SUB): SUB linear steps per power of two.
    auto shift = static_cast<std::size_t>(std::bit_width(ns)) - 7;
    return SUB + shift * SUB + static_cast<std::size_t>((ns >> shift) - SUB);
}

std::uint64_t LatencyHistogram::bucket_middle(std::size_t index) {
    if (index < SUB) return index;
    std::size_t shift = (index - SUB) / SUB;
    std::uint64_t low = static_cast<std::uint64_t>(SUB + (index - SUB) % SUB) << shift;
    return low + ((std::uint64_t{1} << shift) >> 1);
}

void LatencyHistogram::add(std::uint64_t ns) {
    counts_[bucket(ns)] += 1;
    count_ += 1;
    max_ = std::max(max_, ns);
}

void LatencyHistogram::clear() {
    if (count_ == 0) return;
    counts_.fill(0);
    count_ = 0;
    max_ = 0;
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < BUCKETS; ++i) counts_[i] += other.counts_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
}

std::uint64_t LatencyHistogram::percentile(double fraction) const {
    if (count_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    rank = std::clamp<std::uint64_t>(rank, 1, count_);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < BUCKETS; ++i) {
        seen += counts_[i];
        if (seen >= rank) return std::min(bucket_middle(i), max_);
    }
    return max_;
}

void SequenceTracker::add(std::uint64_t sequence) {
    received_ += 1;
    if (!started_) {
        started_ = true;
        highest_ = sequence;
    } else if (sequence > highest_) {
        lost_ += sequence - highest_ - 1;
        highest_ = sequence;
    } else if (sequence == highest_) {
        duplicates_ += 1;
    } else if (sequence == 0) {
        restarts_ += 1;
        highest_ = 0;
    } else {
        out_of_order_ += 1;
        if (lost_ > 0) lost_ -= 1;
    }
}

}  // namespace vantrel::sim
