#include "console/console.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fmt/format.h>

#include "net/io_error.h"
#include "net/wire.h"
#include "version.h"

namespace vantrel::console {
namespace {

// Permanent lines that wait longer than this for a reader are dropped rather than kept without end.
constexpr std::size_t PENDING_LIMIT = 1 << 20;
// A write of at most this many bytes to a pipe that poll() calls writable never blocks.
constexpr std::size_t ATOMIC_WRITE = PIPE_BUF;

// Whether a write would not wait: the stream has room, or is broken so that the write fails at once
// (and the failure is reported rather than kept waiting).
bool writable_now(int fd) {
    pollfd target{fd, POLLOUT, 0};
    return ::poll(&target, 1, 0) == 1 && (target.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

void write_or_die(int fd, const char* name, std::string_view text) {
    if (int err = net::write_whole(fd, text); err != 0)
        fatal(fmt::format("{}{}: {}", MSG_FAILED_PRINTING, name, net::IoError::from_errno(err).text()));
}

// The text without its styles and clear-line sequences (ESC '[' ... final byte, and the '\r').
std::string without_styles(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && (text[i] < 0x40 || text[i] > 0x7E)) ++i;
            continue;
        }
        if (text[i] != '\r') plain.push_back(text[i]);
    }
    return plain;
}

}  // namespace

std::string banner_line1() {
    return fmt::format("{}VantrelUSB{} {}v{}{}\n", BOLD, RESET, DIM, VERSION, RESET);
}
std::string banner_line2() {
    return fmt::format("{}USB companion for Vantrel iOS{}\n", DIM, RESET);
}
std::string banner_line3() {
    return "\n";
}

namespace {

// Bytes of the valid UTF-8 character at the start of `text`, or 0 when none starts there.
std::size_t utf8_character_length(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    // The range of the second byte depends on the lead: it excludes overlong forms, surrogates and
    // code points above U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    return length;
}

// The serial with every control character (C0, DEL and C1) and every byte that is not part of
// valid UTF-8 as "?": a device's serial must not drive the terminal or forge a line.
std::string printable_serial(std::string_view serial) {
    std::string out;
    out.reserve(serial.size());
    while (!serial.empty()) {
        const std::size_t length = utf8_character_length(serial);
        const auto lead = static_cast<unsigned char>(serial[0]);
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (length == 2 && lead == 0xC2 && static_cast<unsigned char>(serial[1]) < 0xA0);
        if (length == 0 || control) {
            out += '?';
            serial.remove_prefix(length == 0 ? 1 : length);
        } else {
            out += serial.substr(0, length);
            serial.remove_prefix(length);
        }
    }
    return out;
}

}  // namespace

std::string serial_display_form(std::string_view serial_number) {
    constexpr std::size_t LIMIT = 12;
    std::string serial = printable_serial(serial_number);
    if (serial.size() <= LIMIT) return serial;
    std::size_t cut = LIMIT;
    // Step back over UTF-8 continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(serial[cut]) & 0xC0) == 0x80) --cut;
    return fmt::format("{}...", std::string_view(serial).substr(0, cut));
}

std::string found_line(std::string_view serial) {
    return fmt::format("{}Found{} {}{}{}\n", GREEN, RESET, BOLD, serial_display_form(serial), RESET);
}

std::string error_line(std::string_view text) {
    return fmt::format("{}Error:{} {}{}{}\n", RED, RESET, DIM, text, RESET);
}

std::string goodbye_line() {
    return fmt::format("{}Goodbye.{}\n", DIM, RESET);
}

std::string searching_line(std::uint64_t frame_counter) {
    const char frame = SPINNER_FRAMES[frame_counter % SPINNER_FRAMES.size()];
    return fmt::format("{}{}[{}{}{}{}] Searching for iPhone...{}", CLEAR_LINE, DIM, YELLOW, frame, RESET, DIM,
                       RESET);
}

// Writes what standard output can take now, in pieces that never block; the rest stays pending.
void Console::flush_pending_out() {
    std::size_t done = 0;
    while (done < pending_out_.size() && writable_now(STDOUT_FILENO)) {
        const std::size_t piece = std::min(ATOMIC_WRITE, pending_out_.size() - done);
        write_or_die(STDOUT_FILENO, "stdout", std::string_view(pending_out_).substr(done, piece));
        done += piece;
    }
    pending_out_.erase(0, done);
}

void Console::print_out(std::string_view line) {
    const std::string text = plain_ ? without_styles(line) : std::string(line);
    flush_pending_out();
    // A line that has to wait keeps its place behind those already waiting.
    if (pending_out_.empty() && writable_now(STDOUT_FILENO) && text.size() <= ATOMIC_WRITE) {
        write_or_die(STDOUT_FILENO, "stdout", text);
        return;
    }
    if (pending_out_.size() + text.size() <= PENDING_LIMIT) pending_out_ += text;
    flush_pending_out();
}

void Console::print_err(std::string_view line) {
    if (plain_) return;
    flush_pending_out();
    // A transient line is skipped, not waited for: the next one replaces it anyway. So is one that
    // would overtake permanent lines still waiting for standard output.
    if (!pending_out_.empty() || !writable_now(STDERR_FILENO)) return;
    write_or_die(STDERR_FILENO, "stderr", line);
}

void Console::finish() {
    write_or_die(STDOUT_FILENO, "stdout", pending_out_);
    pending_out_.clear();
}

std::string plain_text(std::string_view line) {
    return without_styles(line);
}

void configure_streams() {
    // Lines go out through print_out/print_err in whole writes; stdio is set up to match for
    // anything else that prints (line-buffered stdout, unbuffered stderr).
    // Buffering is only a preference: if setvbuf refuses, the defaults stay and nothing depends on it.
    (void)std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void print_usage_error(std::string_view problem) {
    const std::string text = fmt::format("vantrel-usb: {}. Try 'vantrel-usb --help'.\n", problem);
    write_or_die(STDERR_FILENO, "stderr", text);
}

void fatal(std::string_view message) {
    const std::string line = fmt::format("{}\n", message);
    (void)net::write_whole(STDERR_FILENO, line);
    // _exit: other threads may still run, so no static destructors and no stdio flush races.
    ::_exit(101);
}

}  // namespace vantrel::console
