#pragma once

// The host's log file: one line per message, "dd-MM-yyyy HH:mm:ss.SSS LEVEL message", in
// kivo-signing.log in the user's home directory. Messages are escaped (LogLine.h), so each one
// stays on its line. Logging never fails the caller: every file-system error is swallowed.

#include <array>
#include <chrono>
#include <cstddef>
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
    // A longer message is cut, with a note of how many bytes were left out.
    static constexpr std::size_t maximumMessageBytes = 64 * 1024;
    // Room for the lines of each level written between two size checks, that is for one
    // request's; once a level's room is used up, its further lines are left out and the first of
    // them leaves a note. A request thus adds a bounded amount to the log whatever it carries.
    static constexpr std::size_t debugBytesPerRequest = 512 * 1024;
    static constexpr std::size_t infoBytesPerRequest = 256 * 1024;
    static constexpr std::size_t errorBytesPerRequest = 256 * 1024;

    explicit LogFile(std::optional<std::filesystem::path> path, Clock clock = {});

    // Appends one line in a single write to the file opened for appending, so that hosts
    // sharing the log never lose or split each other's lines. A new file starts with a whole
    // line, with mode 0600; an existing one of this user is put back to 0600.
    void write(LogLevel level, std::string_view message) const;

    // Deletes the file when it has grown past the limit for the given verbosity, and gives the
    // request that follows its room for each level.
    void checkSize(bool verbose) const;

    bool hasRoomForDebug() const { return room_[0] > 0; }
    // Records a DEBUG line left out for want of room; the first one leaves a note.
    void noteDebugLeftOut() const { noteLeftOut(LogLevel::debug); }

    const std::optional<std::filesystem::path>& path() const { return path_; }

  private:
    // Writes the line of `message` cut at `limit` bytes; returns the line's size.
    std::size_t append(LogLevel level, std::string_view message, std::size_t limit) const;
    void noteLeftOut(LogLevel level) const;
    void resetRoom() const;

    std::optional<std::filesystem::path> path_;
    Clock clock_;
    // Per level, in LogLevel order. Requests are served one at a time, on one thread.
    mutable std::array<std::size_t, 3> room_{};
    mutable std::array<bool, 3> leftOut_{};
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

// Writes a DEBUG line built by `makeMessage`, which runs only when verbose logging is on and
// the request's DEBUG lines still have room.
template <typename MakeMessage>
void writeDebug(MakeMessage&& makeMessage) {
    if (!verboseLogging()) {
        return;
    }
    if (processLog().hasRoomForDebug()) {
        writeLog(LogLevel::debug, makeMessage());
    } else {
        processLog().noteDebugLeftOut();
    }
}

}  // namespace kivo::foundation
