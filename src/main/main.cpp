// vantrel-usb: bridges the Vantrel iOS app, reached through usbmuxd, to UDP consumers on loopback.
#include <signal.h>

#include <atomic>
#include <memory>

#include "console/console.h"
#include "forwarder/session_control.h"
#include "main/driver.h"
#include "main/interrupt.h"

int main() {
    using namespace vantrel;
    // Before anything else: a write to a closed pipe or socket must be an error, not the end.
    // signal() fails only for an invalid signal number or handler, and these two are valid.
    (void)::signal(SIGPIPE, SIG_IGN);
    console::configure_streams();

    console::print_out(console::banner_line1());
    console::print_out(console::banner_line2());
    console::print_out(console::banner_line3());

    auto running = std::make_shared<std::atomic<bool>>(true);
    auto waker = std::make_shared<forwarder::Waker>();
    auto registered = app::set_interrupt_handler([running, waker] {
        // The stop first: the clear-line may have to wait for a console that nobody reads.
        running->store(false);
        waker->notify();
        console::print_err(console::CLEAR_LINE);
    });
    if (!registered) console::fatal("Failed to set Ctrl+C handler: " + registered.error().text());

    app::run_driver(running, waker);
    console::finish_output();
    return 0;
}
