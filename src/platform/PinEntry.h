#pragma once

// Asks the user for a PIN, or to confirm an action, through a pinentry program speaking the
// Assuan protocol: the program runs for one question, on a socket as its standard input and
// output. The PIN travels only in SecretText; it is never logged. No dialog outlives the question
// or the host: the program runs in a process group of its own that is killed when the question
// ends, and dies with the host; and the dialog is withdrawn when the browser hangs up.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/SecretText.h"

namespace kivo::platform {

enum class PinEntryOutcome {
    entered,    // the user gave a PIN (possibly empty), or confirmed
    cancelled,  // the user cancelled
    noProgram,  // no pinentry program could be found
    failed,     // the program broke the protocol, failed or did not answer in time
    hungUp,     // the browser closed the connection, so nobody waits for the answer any more
};

struct PinRequest {
    std::string title;
    std::string description;
    std::string prompt;
    std::optional<std::string> error;  // shown above the prompt, as after a wrong PIN
};

struct ConfirmRequest {
    std::string title;
    std::string description;  // what is to be approved; never left out of the dialog
    std::string okButton;
    std::string cancelButton;
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
    // `program`: a path, or a name looked up on $PATH. `hangUpWatch`: descriptors of the
    // browser's channel; when one of them is hung up (the input's writer or the output's reader
    // gone), no dialog is shown, and one already showing is withdrawn.
    explicit PinEntry(std::string program, std::vector<int> hangUpWatch = {},
                      std::chrono::milliseconds answerTimeout = std::chrono::minutes(5));

    PinAnswer ask(const PinRequest& request) const;
    // A yes-or-no dialog: `entered` when the user pressed the OK button, `cancelled` for the
    // cancel button or a closed window. `failed` when the program does not take the description.
    PinEntryOutcome confirm(const ConfirmRequest& request) const;

  private:
    template <typename Converse>
    PinAnswer converseWithProgram(const Converse& converse) const;

    std::string program_;
    std::vector<int> hangUpWatch_;
    std::chrono::milliseconds answerTimeout_;
};

}  // namespace kivo::platform
