// Actions due at times on the monotonic clock, kept by the part that sets them and run by it when
// its owner tells it the time: nothing outside the part calls into it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace vantrel::sim {

class Timers {
public:
    void add(std::uint64_t when_ns, std::function<void()> fn) { timers_.emplace(when_ns, std::move(fn)); }
    // Runs every action due at `now`, in the order of their times (also those that they add).
    void run_due(std::uint64_t now) {
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            fn();
        }
    }
    std::optional<std::uint64_t> next_ns() const {
        if (timers_.empty()) return std::nullopt;
        return timers_.begin()->first;
    }

private:
    std::multimap<std::uint64_t, std::function<void()>> timers_;
};

}  // namespace vantrel::sim
