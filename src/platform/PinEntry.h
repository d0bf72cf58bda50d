#pragma once

// Asks the user for a PIN through a pinentry program speaking the Assuan protocol: the program
// runs for one question, on a socket as its standard input and output. The PIN travels only in
// SecretText; it is never logged.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/SecretText.h"

namespace kivo::platform {

enum class PinEntryOutcome {
    entered,    // the user gave a PIN (possibly empty)
    cancelled,  // the user cancelled
    noProgram,  // no pinentry program could be found
    failed,     // the program broke the protocol, failed or did not answer in time
};

struct PinRequest {
    std::string title;
    std::string description;
    std::string prompt;
    std::optional<std::string> error;  // shown above the prompt, as after a wrong PIN
};

struct PinAnswer {
    PinEntryOutcome outcome = PinEntryOutcome::failed;
    SecretText pin;
};

// `program` itself when it contains a slash, otherwise the first executable of that name in
// the directories of $PATH; none when there is no such executable.
std::optional<std::filesystem::path> findExecutable(const std::string& program);

class PinEntry {
  public:
    // `program`: a path, or a name looked up on $PATH.
    explicit PinEntry(std::string program,
                      std::chrono::milliseconds answerTimeout = std::chrono::minutes(5));

    PinAnswer ask(const PinRequest& request) const;

  private:
    std::string program_;
    std::chrono::milliseconds answerTimeout_;
};

}  // namespace kivo::platform
