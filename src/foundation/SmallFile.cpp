#include "foundation/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "foundation/FileDescriptor.h"

namespace kivo::foundation {

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat facts {};
    if (!fd.valid() || ::fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode) ||
        static_cast<std::size_t>(facts.st_size) > limit) {
        return std::nullopt;
    }
    // The file may grow while it is read: reading stops one byte past the limit.
    std::string text;
    std::size_t filled = 0;
    while (filled <= limit) {
        text.resize(
            std::min(limit + 1, std::max(filled * 2, static_cast<std::size_t>(facts.st_size) + 1)));
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

}  // namespace kivo::foundation
