#include "foundation/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>

#include "foundation/FileDescriptor.h"

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

// A new log starts with a whole line: write a private temporary file, then rename it in place.
void createAtomically(const std::filesystem::path& target, std::string_view line) {
    std::string pattern = target.string() + ".XXXXXX";
    const FileDescriptor fd(::mkstemp(pattern.data()));
    if (!fd.valid()) {
        return;
    }
    const bool ok = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), line);
    if (!ok || ::rename(pattern.c_str(), target.c_str()) != 0) {
        ::unlink(pattern.c_str());
    }
}

// `attempted`: written, or lost to an error that creating the file anew would not cure.
enum class AppendOutcome { attempted, noFile };

// Opening the file is also the existence check: a line costs open, seek, write and close.
AppendOutcome appendAtEnd(const std::filesystem::path& target, std::string_view line) {
    const FileDescriptor fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) {
        return errno == ENOENT ? AppendOutcome::noFile : AppendOutcome::attempted;
    }
    if (::lseek(fd.get(), 0, SEEK_END) >= 0) {
        writeAll(fd.get(), line);
    }
    return AppendOutcome::attempted;
}

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
}

void LogFile::write(LogLevel level, std::string_view message) const {
    if (!path_) {
        return;
    }
    std::string line = formatLogTimestamp(clock_());
    line += ' ';
    line += levelText(level);
    line += ' ';
    line += message;
    line += '\n';
    if (appendAtEnd(*path_, line) == AppendOutcome::noFile) {
        createAtomically(*path_, line);
    }
}

void LogFile::checkSize(bool verbose) const {
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
