// vantrel-sim: a stand-in for usbmuxd and the Vantrel app (and, with `receive`, for the UDP consumers).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/cli.h"
#include "sim/receiver.h"
#include "sim/simulator.h"

int main(int argc, char** argv) {
    using namespace vantrel::sim;
    std::vector<std::string> args(argv, argv + argc);
    auto invocation = parse_command_line(args);
    if (!invocation) {
        // The message may quote an argument: its control bytes must not reach the terminal.
        std::string message = invocation.error();
        std::ranges::replace_if(
            message, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
        std::fprintf(stderr, "vantrel-sim: %s\nTry 'vantrel-sim --help'.\n", message.c_str());
        return 2;
    }
    if (std::holds_alternative<ShowHelp>(*invocation)) {
        std::string help = help_text();
        std::fwrite(help.data(), 1, help.size(), stdout);
        return 0;
    }
    if (std::holds_alternative<ShowVersion>(*invocation)) {
        std::puts("vantrel-sim " VANTREL_VERSION);
        return 0;
    }
    if (auto* receiver = std::get_if<ReceiverConfig>(&*invocation)) return run_receiver(*receiver);

    Simulator simulator(std::move(std::get<SimConfig>(*invocation)));
    if (auto started = simulator.start(); !started) {
        std::fprintf(stderr, "vantrel-sim: %s\n", started.error().c_str());
        return 1;
    }
    return simulator.run();
}
