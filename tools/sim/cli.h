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

// The error text explains what is wrong with the arguments (the caller adds the usage).
std::expected<Invocation, std::string> parse_command_line(const std::vector<std::string>& args);

// --help: the options, then the script commands from their table.
std::string help_text();
extern const std::string_view USAGE_TEXT;
inline constexpr std::string_view DEFAULT_SERIAL = "VANTREL-SIM-0001";

}  // namespace vantrel::sim
