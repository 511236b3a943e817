// The driver loop: search for a device, run sessions, reconnect, and end on Ctrl+C.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>

#include "forwarder/threads.h"
#include "main/session.h"

namespace vantrel::app {

// Waits in 100 ms steps until `duration` has passed or any flag is false.
void interruptible_wait(std::chrono::milliseconds duration,
                        std::initializer_list<const std::atomic<bool>*> flags);

// Runs until `running` is cleared; returns after the goodbye line.
void run_driver(const forwarder::Flag& running, const SessionAddresses& addresses = {});

}  // namespace vantrel::app
