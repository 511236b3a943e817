// Styles, console lines and the two output streams.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::console {

inline constexpr std::string_view BOLD = "\x1b[1m";
inline constexpr std::string_view DIM = "\x1b[2m";
inline constexpr std::string_view RESET = "\x1b[0m";
inline constexpr std::string_view CLEAR_LINE = "\x1b[2K\r";
inline constexpr std::string_view RED = "\x1b[31m";
inline constexpr std::string_view GREEN = "\x1b[32m";
inline constexpr std::string_view YELLOW = "\x1b[33m";
inline constexpr std::string_view CYAN = "\x1b[36m";

inline constexpr std::array<char, 4> SPINNER_FRAMES = {'|', '/', '-', '\\'};

// Permanent lines (standard output), each ending in a newline.
std::string banner_line1();
std::string banner_line2();
std::string banner_line3();
std::string found_line(std::string_view serial_number);
std::string error_line(std::string_view text);
std::string goodbye_line();

// Transient lines (standard error): start with CLEAR_LINE, never end in a newline.
std::string searching_line(std::uint64_t frame_counter);

// Text from outside (a device's serial, an argument) as a line may show it: every byte that is not
// part of valid UTF-8, every control character, Unicode format character (category Cf: direction
// overrides, invisible spaces, the byte order mark) and line or paragraph separator as "?", so that
// it can neither drive the terminal nor forge or disguise a line.
std::string printable(std::string_view text);

// The serial number as the found line shows it: printable(), then at most 12 bytes, cut at a UTF-8
// character boundary, followed by "..." when anything was cut.
std::string serial_display_form(std::string_view serial_number);

// The program's two output streams: permanent lines go to standard output, the one transient line
// (spinner or status) to standard error. One object, made in main and handed to the driver, whose
// thread is the only one that prints.
class Console {
public:
    enum class Style {
        Full,     // the terminal's: colours, and the transient line redrawn in place
        NoColor,  // the same without colour, bold, dim and reset (NO_COLOR)
        Plain,    // for logs, services and programs: no escape sequence and no transient line at all
    };
    explicit Console(Style style = Style::Full) : style_(style) {}

    // Writes one whole line. Neither waits for a console that nobody reads: a transient line that
    // standard error cannot take at once is skipped, and a permanent line that standard output cannot
    // take waits in memory, in order, until it can (up to 1 MiB; lines beyond are dropped). A failed
    // write is a fatal stop.
    void print_out(std::string_view line);
    void print_err(std::string_view line);

    // Writes the permanent lines still waiting; those that standard output does not take within
    // half a second are dropped.
    void finish();

private:
    void flush_pending_out();
    std::string styled(std::string_view line) const;

    std::string pending_out_;  // permanent lines that standard output could not take yet
    Style style_;
};

// A line as plain output shows it: without style and clear-line sequences.
std::string plain_text(std::string_view line);

// Standard output line-buffered, standard error unbuffered (lines are written whole either way).
void configure_streams();

// A bad command line, on standard error: one line with the problem, then one that says where to look.
void print_usage_error(std::string_view problem);

// The beginnings of the fatal stops' messages; ": " and the system's error text follow.
inline constexpr std::string_view MSG_FAILED_PRINTING = "failed printing to ";  // + "stdout" or "stderr"
inline constexpr std::string_view MSG_FAILED_CLOCK = "failed to read the monotonic clock";
inline constexpr std::string_view MSG_FAILED_JOIN = "failed to join thread";
inline constexpr std::string_view MSG_FAILED_CTRL_C = "Failed to set Ctrl+C handler";
inline constexpr std::string_view MSG_FAILED_WAIT = "failed to wait for events";

// Ends the process with the message on standard error and exit status 101.
[[noreturn]] void fatal(std::string_view message);

}  // namespace vantrel::console
