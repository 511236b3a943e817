#include "console/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "net/io_error.h"
#include "net/wire.h"

namespace vantrel::console {
namespace {

std::mutex g_out_lock;
std::mutex g_err_lock;

std::string join(std::initializer_list<std::string_view> pieces) {
    std::string s;
    std::size_t n = 0;
    for (auto p : pieces) n += p.size();
    s.reserve(n);
    for (auto p : pieces) s.append(p);
    return s;
}

void print_to(int fd, std::mutex& lock, const char* name, std::string_view line) {
    int err = 0;
    {
        std::lock_guard guard(lock);
        err = net::write_whole(fd, line);
    }
    if (err != 0) fatal(join({"failed printing to ", name, ": ", net::IoError::from_errno(err).text()}));
}

}  // namespace

std::string banner_line1() {
    return join({BOLD, "VantrelUSB", RESET, " ", DIM, "v1.0.0", RESET, "\n"});
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
    const std::string serial = printable_serial(serial_number);
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
    print_to(STDOUT_FILENO, g_out_lock, "stdout", line);
}
void print_err(std::string_view line) {
    print_to(STDERR_FILENO, g_err_lock, "stderr", line);
}

void configure_streams() {
    // Lines go out through print_out/print_err in whole writes; stdio is set up to match for
    // anything else that prints (line-buffered stdout, unbuffered stderr).
    // Buffering is only a preference: if setvbuf refuses, the defaults stay and nothing depends on it.
    (void)std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void fatal(std::string_view message) {
    std::string line = join({message, "\n"});
    (void)net::write_whole(STDERR_FILENO, line);
    // _exit: other threads may still run, so no static destructors and no stdio flush races.
    ::_exit(101);
}

}  // namespace vantrel::console
