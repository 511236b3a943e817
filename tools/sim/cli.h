// The command line of vantrel-sim: daemon and device options, or the `receive` mode's options.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/receiver.h"
#include "sim/simulator.h"

namespace vantrel::sim {

struct ShowHelp {};
struct ShowVersion {};
using Invocation = std::variant<SimConfig, ReceiverConfig, ShowHelp, ShowVersion>;

// The error text explains what is wrong with the arguments (the caller adds where help is).
std::expected<Invocation, std::string> parse_command_line(const std::vector<std::string>& args);

// --help: the options and the script commands, from their tables.
std::string help_text();
// The names in the option table of the simulator (or of `receive`), for the test that compares the
// documentation with them.
std::vector<std::string_view> option_names(bool receive);
inline constexpr std::string_view DEFAULT_SERIAL = "VANTREL-SIM-0001";

}  // namespace vantrel::sim
