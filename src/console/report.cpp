#include "console/report.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "console/status.h"
#include "version.h"

namespace vantrel::console {
namespace {

// The journal's priority prefixes (sd-daemon(3)): errors and warnings stand out from the rest.
constexpr std::string_view JOURNAL_ERROR = "<3>";
constexpr std::string_view JOURNAL_WARNING = "<4>";

double per_second(std::uint64_t now, std::uint64_t before, double dt) {
    return dt > 0 ? static_cast<double>(now - before) / dt : 0.0;
}

std::string stream_figures(const StreamCounts& now, const StreamCounts& before, double dt) {
    return fmt::format(R"({{"bytes_per_s":{},"packets_per_s":{},"packets":{},"bytes":{},"dropped":{}}})",
                       per_second(now.bytes, before.bytes, dt), per_second(now.packets, before.packets, dt),
                       now.packets, now.bytes, now.dropped);
}

StatusInputs status_inputs(const Sample& now, const Sample& before) {
    return {
        .video_packets = now.video.packets,
        .video_bytes = now.video.bytes,
        .video_feedback = now.feedback,
        .tracking_packets = now.tracking.packets,
        .tracking_bytes = now.tracking.bytes,
        .previous_video_bytes = before.video.bytes,
        .previous_tracking_bytes = before.tracking.bytes,
        .dt = elapsed_seconds(before.time, now.time),
    };
}

}  // namespace

std::string utc_timestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                       utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1'000'000);
}

std::string json_string(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Report::event(std::string_view name, const std::string& members) const {
    return fmt::format(R"({{"event":{},"time":{}{}{}}})", json_string(name), json_string(utc_timestamp()),
                       members.empty() ? "" : ",", members) +
           "\n";
}

void Report::note(const std::string& key, const std::string& line) {
    if (key == last_note_) return;
    console_.print_out(line);
    last_note_ = key;
}

void Report::start() {
    if (mode_ == OutputMode::Json) {
        console_.print_out(event("start", fmt::format(R"("version":{})", json_string(VERSION))));
        return;
    }
    console_.print_out(banner_line1());
    console_.print_out(banner_line2());
    console_.print_out(banner_line3());
}

void Report::search_begins() {
    // Right after an error line the search is not noted again until the daemon answers.
    if (!last_note_.starts_with("error ")) nothing_found();
}

void Report::searching(std::uint64_t frame) {
    if (mode_ == OutputMode::Terminal) console_.print_err(searching_line(frame));
}

void Report::nothing_found() {
    if (mode_ == OutputMode::Plain) note("searching", "Searching for iPhone...\n");
    if (mode_ == OutputMode::Json) note("searching", event("searching"));
}

void Report::found(const FoundDevice& device) {
    last_note_.clear();
    if (mode_ == OutputMode::Json) {
        console_.print_out(event(
            "found",
            fmt::format(R"("serial":{},"device_id":{},"connection":{})", json_string(device.serial),
                        device.device_id, device.connection ? json_string(*device.connection) : "null")));
        return;
    }
    std::string line = found_line(device.serial);
    if (device.network) line.insert(line.size() - 1, " (network)");
    console_.print_out(line);
}

void Report::waiting(std::uint64_t frame) {
    if (mode_ == OutputMode::Terminal) console_.print_err(waiting_line(frame));
    if (mode_ == OutputMode::Plain) note("waiting", "Waiting for Vantrel USB mode...\n");
    if (mode_ == OutputMode::Json) note("waiting", event("waiting"));
}

void Report::error(std::string_view text) {
    const std::string key = fmt::format("error {}", text);
    switch (mode_) {
        case OutputMode::Terminal: console_.print_out(error_line(text)); break;
        case OutputMode::Plain:
            note(key, fmt::format("{}{}", journal_ ? JOURNAL_ERROR : "", plain_text(error_line(text))));
            break;
        case OutputMode::Json:
            note(key, event("error", fmt::format(R"("message":{})", json_string(text))));
            break;
    }
}

void Report::session(std::string_view video_to, std::string_view tracking_to, const Sample& start) {
    last_note_.clear();
    previous_ = previous_printed_ = start;
    samples_ = 0;
    status_text_ = "streaming";
    if (mode_ == OutputMode::Json) {
        console_.print_out(event("session", fmt::format(R"("video":{},"tracking":{})", json_string(video_to),
                                                        json_string(tracking_to))));
        return;
    }
    console_.print_out(route_lines(video_to, tracking_to));
}

void Report::sample(const Sample& now) {
    ++samples_;
    const std::string line = status_line(status_inputs(now, previous_));
    status_text_ = plain_text(line);
    const bool due =
        status_interval_.count() > 0 && samples_ % static_cast<std::uint64_t>(status_interval_.count()) == 0;
    switch (mode_) {
        case OutputMode::Terminal: console_.print_err(line); break;
        case OutputMode::Plain:
            // The rates of a plain status line are over the time since the one before.
            if (due) {
                console_.print_out(plain_text(status_line(status_inputs(now, previous_printed_))) + "\n");
                previous_printed_ = now;
            }
            break;
        case OutputMode::Json:
            if (due) {
                const double dt = elapsed_seconds(previous_.time, now.time);
                console_.print_out(
                    event("status",
                          fmt::format(R"("video":{},"tracking":{},"feedback":{})",
                                      stream_figures(now.video, previous_.video, dt),
                                      stream_figures(now.tracking, previous_.tracking, dt), now.feedback)));
            }
            break;
    }
    previous_ = now;
}

void Report::disconnected(const Ending& ending) {
    last_note_.clear();
    switch (mode_) {
        case OutputMode::Terminal: console_.print_out(disconnected_line()); break;
        case OutputMode::Plain:
            console_.print_out(
                fmt::format("{}{}", journal_ ? JOURNAL_WARNING : "", plain_text(disconnected_line())));
            break;
        case OutputMode::Json:
            console_.print_out(
                event("disconnected", fmt::format(R"("stream":{},"reason":{},"detail":{})",
                                                  ending.stream ? json_string(*ending.stream) : "null",
                                                  json_string(ending.reason), json_string(ending.detail))));
            break;
    }
}

void Report::clear_line() {
    if (mode_ == OutputMode::Terminal) console_.print_err(CLEAR_LINE);
}

void Report::goodbye() {
    console_.print_out(mode_ == OutputMode::Json ? event("goodbye") : goodbye_line());
}

}  // namespace vantrel::console
