// The simulator: the daemon side (usbmuxd's protocol on a Unix socket and/or a TCP address), the
// devices, the app on the far end of each tunnel and the script runner, in one event loop.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/app.h"
#include "sim/command.h"
#include "sim/daemon.h"
#include "sim/devices.h"
#include "sim/event_loop.h"
#include "sim/output.h"
#include "sim/script.h"
#include "sim/timers.h"
#include "sim/tunnels.h"

namespace vantrel::sim {

struct SimConfig {
    std::optional<std::string> unix_path{DEFAULT_UNIX_PATH};
    std::optional<std::string> tcp_address{DEFAULT_TCP_ADDRESS};
    std::vector<Command> startup;                              // from the options: only errors are printed
    std::vector<std::pair<std::uint64_t, Command>> scheduled;  // --at: milliseconds after the start
    std::vector<Command> script;                               // --script-file
    bool script_stdin = false;                                 // --script
    std::optional<std::uint64_t> duration_ms;
    bool feedback_events = false;
    bool quiet = false;
    bool progress = false;
};

class Simulator {
public:
    explicit Simulator(SimConfig config);

    // Binds the listeners; the error text says which one failed and why.
    std::expected<void, std::string> start();
    // Runs until quit, end of the script input, --duration or SIGINT/SIGTERM; returns the exit status.
    int run();

private:
    void schedule();
    void turn();
    void dispatch(const Ready& ready);
    void print_progress(std::uint64_t now);

    SimConfig config_;
    EventLoop loop_;
    Timers timers_;  // the schedule (--at), the end (--duration) and the progress lines
    Output output_;
    // Each part calls only those declared before it.
    Devices devices_;
    Tunnels tunnels_;
    App app_;
    Daemon daemon_;
    ScriptRunner script_;
    std::uint64_t start_ns_ = 0;
};

}  // namespace vantrel::sim
