// The script runner: commands from standard input, a script file, --at and the options, one after the
// other, each with one reply line; a command that waits holds back those after it, not the simulator.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>

#include "sim/app.h"
#include "sim/command.h"
#include "sim/daemon.h"
#include "sim/devices.h"
#include "sim/output.h"
#include "sim/tunnels.h"

namespace vantrel::sim {

class ScriptRunner {
public:
    // `stdin_script`: standard input carries commands, and its end ends the run.
    ScriptRunner(Output& output, Devices& devices, Tunnels& tunnels, App& app, Daemon& daemon,
                 bool stdin_script);

    // Queues a command; `quiet`: only an error reply is printed (options, --at).
    void push(std::expected<Command, std::string> command, bool quiet);
    // Reads what standard input has; at its end the queued commands still run, then the run ends.
    void read_stdin();
    bool stdin_open() const { return stdin_open_; }
    // Runs queued commands until one waits or none is left.
    void run(std::uint64_t now);
    // When a waiting command times out.
    std::optional<std::uint64_t> deadline_ns() const;
    void quit() { quit_ = true; }
    bool quitting() const { return quit_; }

private:
    struct Pending {
        Command command;
        bool quiet = false;
        std::uint64_t deadline_ns = 0;
        TunnelId tunnel = 0;
    };

    std::optional<std::string> execute(const Command& c, bool quiet, std::uint64_t now);
    std::optional<std::string> global_command(const Command& c, bool quiet, std::uint64_t now);
    std::optional<std::string> port_command(const Command& c, Device& d, bool quiet, std::uint64_t now);
    std::optional<std::string> tunnel_command(const Command& c, TunnelId id, bool quiet, std::uint64_t now);
    std::optional<std::string> wait(const Command& c, bool quiet, std::uint64_t now, TunnelId tunnel,
                                    std::uint64_t ms);
    std::optional<std::string> check_pending(std::uint64_t now);
    void reply(const std::string& text, bool quiet);

    struct Queued {
        std::expected<Command, std::string> command;
        bool quiet = false;
    };

    Output& output_;
    Devices& devices_;
    Tunnels& tunnels_;
    App& app_;
    Daemon& daemon_;
    bool stdin_script_;
    bool stdin_open_;
    std::string stdin_text_;
    std::deque<Queued> queue_;
    std::optional<Pending> pending_;
    bool quit_ = false;
};

}  // namespace vantrel::sim
