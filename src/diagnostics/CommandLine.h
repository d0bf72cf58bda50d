#pragma once

// The host's own command line. A browser starts the host with arguments of its own (Chrome the
// extension's origin, Firefox the manifest's path and the extension's id); only a first argument
// the host defines starts one of these commands instead of the request loop.

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "certs/UserDetails.h"

namespace kivo::diagnostics {

enum class Command { diagnose, selfTest, help, version };

// The signer as --name, --email, --abn and --aki (repeatable, in order of preference) give it.
struct SignerOptions {
    std::optional<std::string> name;
    std::optional<std::string> email;
    std::optional<std::string> abn;
    std::vector<std::string> akis;

    bool given() const { return name || email || abn || !akis.empty(); }
    // As a sign request's user_details: the AKI list is absent when no --aki was given.
    certs::UserDetails userDetails() const;
};

struct CommandLine {
    Command command = Command::help;
    SignerOptions signer;
    bool json = false;
};

// A command line the host cannot follow; what() says why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// True when the first argument (after the program name) is --diagnose, --self-test, --help or
// --version.
bool startsCommand(std::span<const char* const> arguments);

// The command the arguments (after the program name) ask for. Throws UsageError for an option
// the command does not take, a missing value, or a repeated --name, --email or --abn.
CommandLine parseCommandLine(std::span<const char* const> arguments);

// --help's text, which describes every option.
std::string helpText();

}  // namespace kivo::diagnostics
