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

// Reads from the file's position to its end, or to one byte past `limit`: the file may grow
// while it is read. `expected` is its size when it was opened.
std::optional<std::string> readOnward(const FileDescriptor& fd, std::size_t expected,
                                      std::size_t limit) {
    std::string text;
    std::size_t filled = 0;
    while (filled <= limit) {
        text.resize(std::min(limit + 1, std::max(filled * 2, expected + 1)));
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
    text.resize(filled);
    return text;
}

}  // namespace

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    const auto opened = openRegular(path);
    if (!opened || opened->second > limit) {
        return std::nullopt;
    }
    auto text = readOnward(opened->first, opened->second, limit);
    if (text && text->size() > limit) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> readFileTail(const std::filesystem::path& path, std::size_t count) {
    const auto opened = openRegular(path);
    if (!opened) {
        return std::nullopt;
    }
    const std::size_t start = opened->second > count ? opened->second - count : 0;
    if (::lseek(opened->first.get(), static_cast<off_t>(start), SEEK_SET) < 0) {
        return std::nullopt;
    }
    auto text = readOnward(opened->first, opened->second - start, count);
    if (text && text->size() > count) {
        text->resize(count);
    }
    return text;
}

}  // namespace kivo::foundation
