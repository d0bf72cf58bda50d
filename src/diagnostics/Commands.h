#pragma once

// Running the host's own commands (--diagnose, --self-test, --help, --version) from a terminal.

#include <span>

namespace kivo::diagnostics {

// Runs the command the arguments (after the program name) name, printing to standard output;
// returns the exit status: 0 done (ready to sign, self-test passed), 1 not, 2 a command line the
// host cannot follow (told on standard error).
int runCommand(std::span<const char* const> arguments);

}  // namespace kivo::diagnostics
