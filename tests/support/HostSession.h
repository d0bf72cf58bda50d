#pragma once

// The built host running as a browser would start it, with its own empty home folder so that its
// log and key stores belong to the test.

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "HostClient.h"
#include "support/TempDir.h"

namespace kivo::testing {

inline constexpr std::chrono::seconds answerTimeout{60};

class HostSession {
  public:
    // `environment` is added to a cleaned copy of the test's environment (HOME set to a new
    // folder, verbose logging and XDG variables removed). A `launcher` (a program and its
    // arguments) starts the host, which it must exec.
    explicit HostSession(Environment environment = {}, std::vector<std::string> arguments = {},
                         std::vector<std::string> launcher = {});

    tools::HostProcess& process() { return *process_; }
    const std::filesystem::path& home() const { return home_.path(); }
    // What the host wrote to its standard error.
    std::string stderrText() const;
    // The log in the home the host was given (the session's own unless the test set HOME).
    std::string logText() const;

    bool send(const std::string& payload) { return process_->send(payload); }
    std::optional<std::string> answer() { return process_->readMessage(answerTimeout); }
    // The next answer as JSON; fails the test and gives null when none comes.
    nlohmann::json nextAnswer();
    // Sends `payload`, then nextAnswer().
    nlohmann::json ask(const std::string& payload);
    // Closes the input and waits for the host to end.
    std::optional<int> finish();

  private:
    TempDir home_;
    std::filesystem::path logPath_;
    std::unique_ptr<tools::HostProcess> process_;
};

// One run of the built host from first byte to exit.
struct HostRun {
    std::vector<std::string> answers;
    std::string trailing;           // every byte written after the answers
    std::optional<int> exitStatus;  // none: the host had to be killed
    std::optional<long> peakMemoryKiB;
    std::string log;
    std::string stderrText;
    std::size_t requestBytes = 0;
};

// Sends `bytes` (freed once written, so that this process stays small while the host is
// measured), reads up to `answerCount` answers, then closes the host's input and waits for it
// to end. Like a browser, the run keeps the input open while it waits for the answer to a whole
// request; a request cut short ends only with the input, so then it is closed at once. A log
// already in the environment's HOME is removed first.
HostRun runHost(std::string bytes, const Environment& environment = {},
                std::vector<std::string> arguments = {}, std::size_t answerCount = 1);

// Fails the test for each line of `log` not starting with a timestamp and a level, and for any
// control character but the line feeds ending lines, or a line or paragraph separator; returns
// the number of lines.
std::size_t expectLogLinesWellFormed(const std::string& log);

// Sign requests as the extension writes them. The user_details name `name`, the e-mail and ABN
// of every test signer's certificate (make-pki.sh), and one AKI.
nlohmann::json signerDetails(const std::string& name, const std::string& akiHex);
// One xml_data entry: `xml` base64-encoded under `id`.
nlohmann::json xmlEntry(const std::string& id, std::string_view xml);
// `algorithm`, when given, becomes the request's signature_algorithm.
std::string signRequestText(const nlohmann::json& userDetails,
                            const std::vector<nlohmann::json>& documents,
                            const std::optional<std::string>& algorithm = std::nullopt);
// The decoded data of one signed_data entry of a sign answer; empty when it is not base64.
std::string decodedData(const nlohmann::json& entry);

}  // namespace kivo::testing
