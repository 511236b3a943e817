#include "console/console.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "net/io_error.h"
#include "net/wire.h"
#include "version.h"

namespace vantrel::console {
namespace {

// What has been printed but not yet written, and how: the console is shared by the driver and the
// Ctrl+C callback, and neither may wait for a terminal or pipe that nobody reads.
struct ConsoleState {
    std::mutex lock;
    std::string pending_out;  // permanent lines that standard output could not take yet
    bool plain = false;
};

ConsoleState& state() {
    static ConsoleState console;
    return console;
}

// Permanent lines that wait longer than this for a reader are dropped rather than kept without end.
constexpr std::size_t PENDING_LIMIT = 1 << 20;
// A write of at most this many bytes to a pipe that poll() calls writable never blocks.
constexpr std::size_t ATOMIC_WRITE = PIPE_BUF;

std::string join(std::initializer_list<std::string_view> pieces) {
    std::string s;
    std::size_t n = 0;
    for (auto p : pieces) n += p.size();
    s.reserve(n);
    for (auto p : pieces) s.append(p);
    return s;
}

// Whether a write would not wait: the stream has room, or is broken so that the write fails at once
// (and the failure is reported rather than kept waiting).
bool writable_now(int fd) {
    pollfd target{fd, POLLOUT, 0};
    return ::poll(&target, 1, 0) == 1 && (target.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

void write_or_die(int fd, const char* name, std::string_view text) {
    if (int err = net::write_whole(fd, text); err != 0)
        fatal(join({MSG_FAILED_PRINTING, name, ": ", net::IoError::from_errno(err).text()}));
}

// Writes what standard output can take now, in pieces that never block; the rest stays pending.
void flush_pending_out(ConsoleState& console) {
    std::string& pending = console.pending_out;
    std::size_t done = 0;
    while (done < pending.size() && writable_now(STDOUT_FILENO)) {
        const std::size_t piece = std::min(ATOMIC_WRITE, pending.size() - done);
        write_or_die(STDOUT_FILENO, "stdout", std::string_view(pending).substr(done, piece));
        done += piece;
    }
    pending.erase(0, done);
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
    return join({BOLD, "VantrelUSB", RESET, " ", DIM, "v", VERSION, RESET, "\n"});
}
std::string banner_line2() {
    return join({DIM, "USB companion for Vantrel iOS", RESET, "\n"});
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
    return join({std::string_view(serial).substr(0, cut), "..."});
}

std::string found_line(std::string_view serial) {
    return join({GREEN, "Found", RESET, " ", BOLD, serial_display_form(serial), RESET, "\n"});
}

std::string error_line(std::string_view text) {
    return join({RED, "Error:", RESET, " ", DIM, text, RESET, "\n"});
}

std::string goodbye_line() {
    return join({DIM, "Goodbye.", RESET, "\n"});
}

std::string searching_line(std::uint64_t frame_counter) {
    char frame = SPINNER_FRAMES[frame_counter % SPINNER_FRAMES.size()];
    return join({CLEAR_LINE, DIM, "[", YELLOW, std::string_view(&frame, 1), RESET, DIM,
                 "] Searching for iPhone...", RESET});
}

void print_out(std::string_view line) {
    ConsoleState& console = state();
    std::lock_guard guard(console.lock);
    const std::string text = console.plain ? without_styles(line) : std::string(line);
    flush_pending_out(console);
    // A line that has to wait keeps its place behind those already waiting.
    if (console.pending_out.empty() && writable_now(STDOUT_FILENO)) {
        if (text.size() <= ATOMIC_WRITE) {
            write_or_die(STDOUT_FILENO, "stdout", text);
            return;
        }
    }
    if (console.pending_out.size() + text.size() <= PENDING_LIMIT) console.pending_out += text;
    flush_pending_out(console);
}

void print_err(std::string_view line) {
    ConsoleState& console = state();
    std::lock_guard guard(console.lock);
    if (console.plain) return;
    flush_pending_out(console);
    // A transient line is skipped, not waited for: the next one replaces it anyway. So is one that
    // would overtake permanent lines still waiting for standard output.
    if (!console.pending_out.empty() || !writable_now(STDERR_FILENO)) return;
    write_or_die(STDERR_FILENO, "stderr", line);
}

void finish_output() {
    ConsoleState& console = state();
    std::lock_guard guard(console.lock);
    write_or_die(STDOUT_FILENO, "stdout", console.pending_out);
    console.pending_out.clear();
}

void set_plain(bool plain) {
    ConsoleState& console = state();
    std::lock_guard guard(console.lock);
    console.plain = plain;
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
    const std::string text = join({"vantrel-usb: ", problem, ". Try 'vantrel-usb --help'.\n"});
    write_or_die(STDERR_FILENO, "stderr", text);
}

void fatal(std::string_view message) {
    std::string line = join({message, "\n"});
    (void)net::write_whole(STDERR_FILENO, line);
    // _exit: other threads may still run, so no static destructors and no stdio flush races.
    ::_exit(101);
}

}  // namespace vantrel::console
