// vantrel-usb: bridges the Vantrel iOS app, reached through usbmuxd, to UDP consumers on loopback.
#include <signal.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "main/driver.h"
#include "main/options.h"
#include "main/stop_signals.h"
#include "version.h"

namespace {

constexpr int EXIT_USAGE = 2;

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
    const char* socket_address = std::getenv(app::SOCKET_ADDRESS_VARIABLE.data());
    const auto options = app::parse_command_line(
        args, socket_address ? std::optional<std::string_view>(socket_address) : std::nullopt);
    if (!options) {
        console::print_usage_error(options.error().message);
        return EXIT_USAGE;
    }
    console::Console console(options->plain);
    if (options->help) {
        console.print_out(app::usage_text());
        return 0;
    }
    if (options->version) {
        console.print_out("vantrel-usb " + std::string(VERSION) + "\n");
        return 0;
    }

    console.print_out(console::banner_line1());
    console.print_out(console::banner_line2());
    console.print_out(console::banner_line3());
    if (!stop) console::fatal(std::string(console::MSG_FAILED_CTRL_C) + ": " + stop.error().text());

    app::SessionAddresses addresses{.video_destination = options->video_to,
                                    .tracking_destination = options->tracking_to};
    if (options->daemon) addresses.daemon = *options->daemon;
    app::run_driver(
        console, *stop, addresses,
        {.udid = options->udid, .plain = options->plain, .status_interval = options->status_interval});
    console.finish();
    return 0;
}
