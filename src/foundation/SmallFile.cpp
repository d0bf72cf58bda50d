#include "foundation/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/FileDescriptor.h"

namespace kivo::foundation {

namespace {

// The file opened for reading when it is a regular file, with its size.
std::optional<std::pair<FileDescriptor, std::size_t>> openRegular(
    const std::filesystem::path& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat facts {};
    if (!fd.valid() || ::fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        return std::nullopt;
    }
    return std::pair{std::move(fd), static_cast<std::size_t>(facts.st_size)};
}

}  // namespace

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    const auto opened = openRegular(path);
    if (!opened || opened->second > limit) {
        return std::nullopt;
    }
    const auto& [fd, size] = *opened;
    // The file may grow while it is read: reading stops one byte past the limit.
    std::string text;
    std::size_t filled = 0;
    while (filled <= limit) {
        text.resize(std::min(limit + 1, std::max(filled * 2, size + 1)));
        const ssize_t got = ::read(fd.get(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled > limit) {
        return std::nullopt;
    }
    text.resize(filled);
    return text;
}

std::optional<std::string> readFileTail(const std::filesystem::path& path, std::size_t count) {
    const auto opened = openRegular(path);
    if (!opened) {
        return std::nullopt;
    }
    const std::size_t start = opened->second > count ? opened->second - count : 0;
    std::string text(opened->second - start, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = ::pread(opened->first.get(), text.data() + filled, text.size() - filled,
                                    static_cast<off_t>(start + filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

}  // namespace kivo::foundation
