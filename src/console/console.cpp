#include "console/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "net/io_error.h"
#include "net/wire.h"
#include "version.h"

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
    return join({BOLD, "VantrelUSB", RESET, " ", DIM, "v", VERSION, RESET, "\n"});
}
std::string banner_line2() {
    return join({DIM, "USB companion for Vantrel iOS", RESET, "\n"});
}
std::string banner_line3() {
    return "\n";
}

std::string serial_display_form(std::string_view serial) {
    constexpr std::size_t LIMIT = 12;
    if (serial.size() <= LIMIT) return std::string(serial);
    std::size_t cut = LIMIT;
    // Step back over UTF-8 continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(serial[cut]) & 0xC0) == 0x80) --cut;
    return join({serial.substr(0, cut), "..."});
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
