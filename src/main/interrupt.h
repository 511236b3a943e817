// Turns SIGINT and SIGTERM into a callback that runs on a normal thread, "ctrl-c", never in signal context.
#pragma once

#include <functional>

#include "net/io_error.h"

namespace vantrel::app {

// Installs the SIGINT and SIGTERM handler (it only posts a semaphore) and starts the detached thread
// "ctrl-c", which runs `callback` once per such signal for the rest of the process. Only one
// registration.
net::IoResult<void> set_interrupt_handler(std::function<void()> callback);

}  // namespace vantrel::app
