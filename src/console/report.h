// What the driver has to say, as each kind of output says it: the terminal's coloured lines and
// spinner, plain lines for logs (each state once, errors once while they repeat, the journal's
// priorities), or one JSON object per line for programs.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"

namespace vantrel::console {

enum class OutputMode { Terminal, Plain, Json };

// The device a search chose.
struct FoundDevice {
    std::string_view serial;
    std::uint32_t device_id = 0;
    std::optional<std::string_view> connection{};  // the entry's "ConnectionType"
    bool network = false;                          // a network entry (taken for want of another)
};

// A session's counters at one moment, taken by the driver once a second while the session streams.
struct StreamCounts {
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::uint64_t dropped = 0;  // datagrams that could not be sent
};
struct Sample {
    timespec time{};  // monotonic
    StreamCounts video;
    StreamCounts tracking;
    std::uint64_t feedback = 0;
};

// Why a session ended: which stream (none when no single stream ended it), the reason's fixed text
// and free detail.
struct Ending {
    std::optional<std::string_view> stream{};
    std::string_view reason{};
    std::string detail{};
};

class Report {
public:
    // `status_interval`: how often plain and JSON output give the status while streaming (zero:
    // never); the terminal redraws it every second. `journal`: plain lines go to the journal, which
    // reads a priority prefix.
    Report(Console& console, OutputMode mode, std::chrono::seconds status_interval, bool journal = false)
        : console_(console), mode_(mode), status_interval_(status_interval), journal_(journal) {}

    void start();
    // A search begins.
    void search_begins();
    // A search pass: the spinner with this frame.
    void searching(std::uint64_t frame);
    // The daemon answered, with no device to take.
    void nothing_found();
    void found(const FoundDevice& device);
    void waiting(std::uint64_t frame);
    void error(std::string_view text);
    void session(std::string_view video_to, std::string_view tracking_to, const Sample& start);
    void sample(const Sample& now);
    void disconnected(const Ending& ending);
    // A stop signal arrived: the transient line goes.
    void stop_signal() { clear_line(); }
    void clear_line();
    void goodbye();

    // The status as text, from the last sample (for the service manager's status).
    const std::string& status_text() const { return status_text_; }

private:
    // Plain and JSON output give a state once, when it begins, and an error once while it repeats:
    // `line` is printed unless `key` is the state noted last.
    void note(const std::string& key, const std::string& line);
    // One JSON object, "event" and "time" first, then `members` (a JSON object's members, in order).
    std::string event(std::string_view name, const std::string& members = {}) const;

    Console& console_;
    OutputMode mode_;
    std::chrono::seconds status_interval_;
    bool journal_;
    std::string last_note_;
    Sample previous_;          // the sample a second before
    Sample previous_printed_;  // the sample of the last plain status line
    std::uint64_t samples_ = 0;
    std::string status_text_;
};

// Now, in UTC, as RFC 3339 with milliseconds: "2026-12-09T06:16:31.123Z".
std::string utc_timestamp();
// A JSON string literal of `text`, escaped as JSON wants it; bytes that are not UTF-8 become U+FFFD.
std::string json_string(std::string_view text);

}  // namespace vantrel::console
