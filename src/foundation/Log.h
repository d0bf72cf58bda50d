#pragma once

// The host's log file: one line per message, "dd-MM-yyyy HH:mm:ss.SSS LEVEL message", in
// kivo-signing.log in the user's home directory. Logging never fails the caller: every
// file-system error is swallowed.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Time.h"

namespace kivo::foundation {

enum class LogLevel { debug, info, error };

// The five-character level text: "DEBUG", "INFO ", "ERROR".
std::string_view levelText(LogLevel level);

using Clock = std::function<std::chrono::system_clock::time_point()>;

// A log file at a fixed place. `path` absent means logging is off (no usable home directory).
class LogFile {
  public:
    static constexpr std::uint64_t quietSizeLimit = 12600;
    static constexpr std::uint64_t verboseSizeLimit = 549000;

    explicit LogFile(std::optional<std::filesystem::path> path, Clock clock = {});

    // Appends one logical line; a new file is created atomically with mode 0600.
    void write(LogLevel level, std::string_view message) const;

    // Deletes the file when it has grown past the limit for the given verbosity.
    void checkSize(bool verbose) const;

    const std::optional<std::filesystem::path>& path() const { return path_; }

  private:
    std::optional<std::filesystem::path> path_;
    Clock clock_;
};

// "$HOME/kivo-signing.log", or none when HOME is unset or empty.
std::optional<std::filesystem::path> defaultLogPath();

// Process-wide log, made on first use from defaultLogPath(). Tests may replace it.
const LogFile& processLog();
void setProcessLog(LogFile log);

// Process-wide verbose flag: DEBUG lines are written only while it is true.
bool verboseLogging();
void setVerboseLogging(bool on);

void writeLog(LogLevel level, std::string_view message);
void checkLogSize();

// Writes a DEBUG line built by `makeMessage`, which runs only when verbose logging is on.
template <typename MakeMessage>
void writeDebug(MakeMessage&& makeMessage) {
    if (verboseLogging()) {
        writeLog(LogLevel::debug, makeMessage());
    }
}

}  // namespace kivo::foundation
