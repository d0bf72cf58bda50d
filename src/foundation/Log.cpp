#include "foundation/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>

#include "foundation/FileDescriptor.h"
#include "foundation/LogLine.h"

namespace kivo::foundation {
namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// `written`: written, or lost to an error that creating the file anew would not cure.
// `notOurs`: something other than a regular file of this user sits at the log's place.
enum class AppendOutcome { written, noFile, notOurs };

// O_APPEND puts each write at the end as it happens, so lines of hosts sharing the file never
// overwrite each other, and one write per line keeps them whole. Opening the file is also the
// existence check: a line costs open, write and close. Nothing at the log's place may block the
// host (a FIFO), follow it elsewhere (a link) or receive its lines for someone else (a file of
// another user).
AppendOutcome appendAtEnd(const std::filesystem::path& target, std::string_view line,
                          int createFlag = 0) {
    const FileDescriptor fd(::open(
        target.c_str(),
        O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | createFlag, 0600));
    if (!fd.valid()) {
        switch (errno) {
            case ENOENT:
                return AppendOutcome::noFile;
            case ELOOP:  // a symbolic link
            case ENXIO:  // a FIFO nobody reads
                return AppendOutcome::notOurs;
            default:
                return AppendOutcome::written;
        }
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return AppendOutcome::written;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return AppendOutcome::notOurs;
    }
    // An existing log goes back to owner-only access, whatever made it wider.
    if ((info.st_mode & 07777) != 0600) {
        ::fchmod(fd.get(), 0600);
    }
    writeAll(fd.get(), line);
    return AppendOutcome::written;
}

// A new log starts with a whole line: a private temporary file holding it is linked in place.
// Unlike a rename, a link never replaces a log that another host created meanwhile; the line
// then goes to the end of that one.
void createWithLine(const std::filesystem::path& target, std::string_view line) {
    std::string pattern = target.string() + ".XXXXXX";
    const FileDescriptor fd(::mkstemp(pattern.data()));
    if (!fd.valid()) {
        return;
    }
    const bool ready = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), line);
    const bool linked = ready && ::link(pattern.c_str(), target.c_str()) == 0;
    ::unlink(pattern.c_str());
    if (ready && !linked) {
        // Also where the file system has no hard links.
        appendAtEnd(target, line, O_CREAT);
    }
}

// In LogLevel order.
constexpr std::array<std::size_t, 3> roomPerRequest{
    LogFile::debugBytesPerRequest, LogFile::infoBytesPerRequest, LogFile::errorBytesPerRequest};

std::atomic<bool>& verboseFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

std::unique_ptr<LogFile>& processLogSlot() {
    static std::unique_ptr<LogFile> log;
    return log;
}

}  // namespace

std::string_view levelText(LogLevel level) {
    static constexpr std::array<std::string_view, 3> texts{"DEBUG", "INFO ", "ERROR"};
    const auto index = static_cast<std::size_t>(level);
    return index < texts.size() ? texts[index] : texts.back();
}

LogFile::LogFile(std::optional<std::filesystem::path> path, Clock clock)
    : path_(std::move(path)), clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] { return std::chrono::system_clock::now(); };
    }
    resetRoom();
}

void LogFile::resetRoom() const {
    room_ = roomPerRequest;
    leftOut_ = {};
}

void LogFile::write(LogLevel level, std::string_view message) const {
    // The room counts whole lines: timestamp and level, the note of a cut, the line feed.
    constexpr std::size_t lineOverhead = 80;
    std::size_t& room = room_[static_cast<std::size_t>(level)];
    if (room <= lineOverhead) {
        room = 0;
        noteLeftOut(level);
        return;
    }
    const std::size_t written =
        append(level, message, std::min(maximumMessageBytes, room - lineOverhead));
    room -= std::min(room, written);
}

void LogFile::noteLeftOut(LogLevel level) const {
    const auto index = static_cast<std::size_t>(level);
    if (!leftOut_[index]) {
        leftOut_[index] = true;
        const std::string_view name = levelText(level);
        append(level,
               "Further " + std::string(name.substr(0, name.find(' '))) +
                   " lines of this request left out: they passed " +
                   std::to_string(roomPerRequest[index]) + " bytes",
               maximumMessageBytes);
    }
}

std::size_t LogFile::append(LogLevel level, std::string_view message, std::size_t limit) const {
    if (!path_) {
        return 0;
    }
    std::string line = formatLogTimestamp(clock_());
    line += ' ';
    line += levelText(level);
    line += ' ';
    if (const std::size_t leftOut = appendEscaped(line, message, limit); leftOut > 0) {
        line += " ... [" + std::to_string(leftOut) + " bytes left out]";
    }
    line += '\n';
    switch (appendAtEnd(*path_, line)) {
        case AppendOutcome::noFile:
            createWithLine(*path_, line);
            break;
        case AppendOutcome::notOurs:
            // Planted in our place: a new log replaces it where the folder allows, else none.
            if (::unlink(path_->c_str()) == 0) {
                createWithLine(*path_, line);
            }
            break;
        case AppendOutcome::written:
            break;
    }
    return line.size();
}

void LogFile::checkSize(bool verbose) const {
    resetRoom();
    if (!path_) {
        return;
    }
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(*path_, error);
    if (error) {
        return;
    }
    if (size > (verbose ? verboseSizeLimit : quietSizeLimit)) {
        std::filesystem::remove(*path_, error);
    }
}

std::optional<std::filesystem::path> defaultLogPath() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(home) / "kivo-signing.log";
}

const LogFile& processLog() {
    auto& slot = processLogSlot();
    if (!slot) {
        slot = std::make_unique<LogFile>(defaultLogPath());
    }
    return *slot;
}

void setProcessLog(LogFile log) {
    processLogSlot() = std::make_unique<LogFile>(std::move(log));
}

bool verboseLogging() {
    return verboseFlag().load(std::memory_order_relaxed);
}

void setVerboseLogging(bool on) {
    verboseFlag().store(on, std::memory_order_relaxed);
}

void writeLog(LogLevel level, std::string_view message) {
    processLog().write(level, message);
}

void checkLogSize() {
    processLog().checkSize(verboseLogging());
}

}  // namespace kivo::foundation
