#include "diagnostics/CommandLine.h"

#include <array>
#include <string_view>
#include <utility>

namespace kivo::diagnostics {
namespace {

constexpr std::array<std::pair<std::string_view, Command>, 4> commands{{
    {"--diagnose", Command::diagnose},
    {"--self-test", Command::selfTest},
    {"--help", Command::help},
    {"--version", Command::version},
}};

std::optional<Command> commandNamed(std::string_view argument) {
    for (const auto& [name, command] : commands) {
        if (argument == name) {
            return command;
        }
    }
    return std::nullopt;
}

void setOnce(std::optional<std::string>& field, std::string_view option, std::string value) {
    if (field) {
        throw UsageError(std::string(option) + " is given twice");
    }
    field = std::move(value);
}

}  // namespace

certs::UserDetails SignerOptions::userDetails() const {
    certs::UserDetails details;
    details.name = name;
    details.email = email;
    details.abn = abn;
    if (!akis.empty()) {
        details.aki = akis;
    }
    return details;
}

bool startsCommand(std::span<const char* const> arguments) {
    return !arguments.empty() && arguments[0] != nullptr && commandNamed(arguments[0]);
}

CommandLine parseCommandLine(std::span<const char* const> arguments) {
    if (!startsCommand(arguments)) {
        throw UsageError("the first argument must be --diagnose, --self-test, --help or --version");
    }
    CommandLine line;
    line.command = *commandNamed(arguments[0]);
    const bool takesSigner = line.command == Command::diagnose || line.command == Command::selfTest;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view option = arguments[i] != nullptr ? arguments[i] : "";
        if (option == "--json" && line.command == Command::diagnose) {
            line.json = true;
            continue;
        }
        const bool signerOption =
            option == "--name" || option == "--email" || option == "--abn" || option == "--aki";
        if (!takesSigner || !signerOption) {
            throw UsageError("unknown option '" + std::string(option) + "' for " +
                             std::string(arguments[0]));
        }
        if (i + 1 == arguments.size() || arguments[i + 1] == nullptr) {
            throw UsageError(std::string(option) + " needs a value");
        }
        std::string value = arguments[++i];
        if (option == "--name") {
            setOnce(line.signer.name, option, std::move(value));
        } else if (option == "--email") {
            setOnce(line.signer.email, option, std::move(value));
        } else if (option == "--abn") {
            setOnce(line.signer.abn, option, std::move(value));
        } else {
            line.signer.akis.push_back(std::move(value));
        }
    }
    return line;
}

std::string helpText() {
    return R"(Usage: kivo-signing-host --diagnose [SIGNER] [--json]
       kivo-signing-host --self-test [SIGNER]
       kivo-signing-host --help | --version

A browser starts kivo-signing-host as its native-messaging host, with arguments of its own; run
by hand, it takes these commands (the first argument picks one):

  --diagnose     checks the set-up without changing anything: the host, the browsers and their
                 manifests, the key stores and tokens, the identities (certificates with a
                 private key), the approval dialog (pinentry) and the log. Asks for nothing,
                 signs nothing and writes no file. Ends with "Ready to sign" (exit status 0) or
                 a numbered list of what keeps the host from signing, each with its fix
                 (exit status 1).
  --json         with --diagnose: the same as one JSON document, for support tools
  --self-test    signs a built-in sample document the way a sign request does, approval or PIN
                 dialog included, checks both signatures and prints each step with its time
                 (exit status 0 when it passed, 1 when not)
  --help         this text
  --version      the host's version

SIGNER names whom a sign request would sign for, as its user_details do:
  --name NAME    the certificate's subject common name (exact)
  --email EMAIL  the subject's e-mail address (any letter case)
  --abn ABN      the Australian Business Number in the certificate
  --aki HEX      an accepted authority key identifier, in hex; repeat it, most preferred first
With a signer, --diagnose shows which identity a sign request would use and why every other one
was passed over. --self-test without a signer uses the one identity there is.

Environment: HOME (the log and the NSS databases), KIVO_PINENTRY (the pinentry program),
KIVO_VERBOSE_LOGGING. Exit status 2: a command line the host cannot follow.
)";
}

}  // namespace kivo::diagnostics
