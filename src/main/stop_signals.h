// Ctrl+C and SIGTERM as events: blocked in every thread and read from a signalfd by the driver, in the
// same poll as everything else it waits for. No handler runs in signal context.
#pragma once

#include <cstddef>

#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::app {

class StopSignals {
public:
    // Blocks SIGINT and SIGTERM in the calling thread, which every thread started afterwards inherits,
    // so none of them ever has a call interrupted; a signal stays pending until the driver reads it.
    // Call it in main before any thread starts.
    static net::IoResult<StopSignals> install();

    // Readable while a stop signal is pending.
    int fd() const noexcept { return fd_.get(); }
    // Takes every pending stop signal; how many there were.
    std::size_t take();

private:
    explicit StopSignals(net::Fd fd) : fd_(std::move(fd)) {}
    net::Fd fd_;  // a non-blocking signalfd for SIGINT and SIGTERM
};

}  // namespace vantrel::app
