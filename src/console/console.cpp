#include "console/console.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include <fmt/format.h>

#include "net/io_error.h"
#include "net/wire.h"
#include "version.h"

namespace vantrel::console {
namespace {

// Permanent lines that wait longer than this for a reader are dropped rather than kept without end.
constexpr std::size_t PENDING_LIMIT = 1 << 20;
// How long the lines still waiting at the end may wait for a reader.
constexpr std::chrono::milliseconds FINISH_TIMEOUT{500};
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
// With `all`, also the clear-line sequence and the carriage return; otherwise only the styles (SGR
// sequences, ESC '[' ... 'm').
std::string without_styles(std::string_view text, bool all = true) {
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && (text[end] < 0x40 || text[end] > 0x7E)) ++end;
            if (all || (end < text.size() && text[end] == 'm')) {
                i = end;
                continue;
            }
        }
        if (!all || text[i] != '\r') plain.push_back(text[i]);
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

// The code point of a valid UTF-8 character of `length` bytes.
char32_t code_point(std::string_view character) {
    const auto byte = [&character](std::size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(character[i]));
    };
    switch (character.size()) {
        case 1: return byte(0);
        case 2: return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
        case 3: return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        default:
            return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
    }
}

// Characters that steer a terminal or the reading of a line rather than show: controls (C0, DEL,
// C1), format characters (Unicode's category Cf, as of Unicode 15: invisible spaces and joiners,
// direction overrides, the byte order mark, tags) and the line and paragraph separators.
bool steers(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range STEERING[] = {
        {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
        {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
        {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},
        {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
        {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    return std::ranges::any_of(STEERING, [c](const Range& r) { return c >= r.first && c <= r.last; });
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = utf8_character_length(text);
        if (length == 0 || steers(code_point(text.substr(0, length)))) {
            out += '?';
        } else {
            out += text.substr(0, length);
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return out;
}

std::string serial_display_form(std::string_view serial_number) {
    constexpr std::size_t LIMIT = 12;
    std::string serial = printable(serial_number);
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
    const std::string text = styled(line);
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
    if (style_ == Style::Plain) return;
    flush_pending_out();
    // A transient line is skipped, not waited for: the next one replaces it anyway. So is one that
    // would overtake permanent lines still waiting for standard output.
    if (!pending_out_.empty() || !writable_now(STDERR_FILENO)) return;
    write_or_die(STDERR_FILENO, "stderr", styled(line));
}

std::string Console::styled(std::string_view line) const {
    switch (style_) {
        case Style::Full: return std::string(line);
        case Style::NoColor: return without_styles(line, /*all=*/false);
        case Style::Plain: return without_styles(line);
    }
    return std::string(line);
}

void Console::finish() {
    // The lines still waiting get a little time for a reader and are then dropped: a full pipe or a
    // terminal that nobody reads never holds up the end of the program.
    const auto deadline = std::chrono::steady_clock::now() + FINISH_TIMEOUT;
    for (;;) {
        flush_pending_out();
        if (pending_out_.empty()) return;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd target{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&target, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    }
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
    const std::string text = fmt::format("vantrel-usb: {}\nTry 'vantrel-usb --help'.\n", printable(problem));
    write_or_die(STDERR_FILENO, "stderr", text);
}

void fatal(std::string_view message) {
    const std::string line = fmt::format("{}\n", message);
    (void)net::write_whole(STDERR_FILENO, line);
    // _exit: other threads may still run, so no static destructors and no stdio flush races.
    ::_exit(101);
}

}  // namespace vantrel::console
