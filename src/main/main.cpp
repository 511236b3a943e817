// vantrel-usb: bridges the Vantrel iOS app, reached through usbmuxd, to UDP consumers on loopback.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "console/report.h"
#include "main/device_list.h"
#include "main/driver.h"
#include "main/options.h"
#include "main/stop_signals.h"
#include "main/systemd.h"
#include "version.h"

namespace {

constexpr int EXIT_USAGE = 2;

std::optional<std::string_view> environment(const char* name) {
    // Read in main before any thread starts, and nothing here changes the environment.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    return value ? std::optional<std::string_view>(value) : std::nullopt;
}

// Whether standard output is the journal's stream (JOURNAL_STREAM holds its device and inode).
bool stdout_is_journal() {
    const auto stream = environment("JOURNAL_STREAM");
    struct stat out {};
    if (!stream || ::fstat(STDOUT_FILENO, &out) != 0) return false;
    return *stream == std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino);
}

vantrel::console::Console::Style style_for(vantrel::console::OutputMode mode) {
    using vantrel::console::Console;
    if (mode != vantrel::console::OutputMode::Terminal) return Console::Style::Plain;
    // The no-color.org convention: set and not empty.
    const auto no_color = environment("NO_COLOR");
    return no_color && !no_color->empty() ? Console::Style::NoColor : Console::Style::Full;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
    // Before anything else: a write to a closed pipe or socket must be an error, not the end.
    // signal() fails only for an invalid signal number or handler, and these two are valid.
    (void)::signal(SIGPIPE, SIG_IGN);
    // Before any thread starts, so that every thread inherits the blocked stop signals.
    auto stop = app::StopSignals::install();
    console::configure_streams();

    // A bad command line is refused before anything is printed or connected.
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto options = app::parse_command_line(args, environment(app::SOCKET_ADDRESS_VARIABLE.data()));
    if (!options) {
        console::print_usage_error(options.error().message);
        return EXIT_USAGE;
    }
    console::Console console(style_for(options->output));
    if (options->help) {
        console.print_out(app::usage_text());
        return 0;
    }
    if (options->version) {
        console.print_out("vantrel-usb " + std::string(VERSION) + "\n");
        return 0;
    }
    if (options->list) {
        const int status = app::print_device_list(console, options->daemon.value_or(mux::DaemonAddress{}),
                                                  options->output == console::OutputMode::Json);
        console.finish();
        return status;
    }

    console::Report report(console, options->output, options->status_interval,
                           options->output == console::OutputMode::Plain && stdout_is_journal());
    report.start();
    if (!stop) console::fatal(std::string(console::MSG_FAILED_CTRL_C) + ": " + stop.error().text());

    app::SessionAddresses addresses{.video_destination = options->video_to,
                                    .tracking_destination = options->tracking_to};
    if (options->daemon) addresses.daemon = *options->daemon;
    app::Systemd systemd;
    app::run_driver(report, systemd, *stop, addresses,
                    {.udid = options->udid, .stall_timeout = options->stall_timeout});
    console.finish();
    return 0;
}
