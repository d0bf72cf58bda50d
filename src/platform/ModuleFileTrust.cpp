#include "platform/ModuleFileTrust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace kivo::platform {
namespace {

namespace fs = std::filesystem;

bool isWithin(const fs::path& inner, const fs::path& outer) {
    std::error_code error;
    const fs::path container = fs::weakly_canonical(outer, error);
    if (error) {
        return false;
    }
    return std::mismatch(inner.begin(), inner.end(), container.begin(), container.end()).second ==
           container.end();
}

}  // namespace

std::optional<std::string> untrustedModuleReason(const fs::path& library,
                                                 std::span<const fs::path> sandboxFolders) {
    for (const fs::path& sandbox : sandboxFolders) {
        if (isWithin(library, sandbox)) {
            return "it lies in " + sandbox.string() + ", which a sandboxed application can write";
        }
    }
    struct stat facts {};
    if (::lstat(library.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
        return std::string("it is not a regular file");
    }
    if (facts.st_uid != 0 && facts.st_uid != ::geteuid()) {
        return "it belongs to user " + std::to_string(facts.st_uid);
    }
    if ((facts.st_mode & S_IWOTH) != 0) {
        return std::string("every user can write it");
    }
    for (fs::path folder = library.parent_path(); !folder.empty(); folder = folder.parent_path()) {
        if (::stat(folder.c_str(), &facts) != 0) {
            continue;
        }
        // In a sticky folder (as /tmp) no one else can rename or remove what the user owns, and
        // the folders below it are checked in turn; the library's own folder must not be one.
        const bool sticky = (facts.st_mode & S_ISVTX) != 0;
        if ((facts.st_mode & S_IWOTH) != 0 && (!sticky || folder == library.parent_path())) {
            return "it lies in " + folder.string() + ", which every user can write";
        }
        // The owner of a folder can put another file in the library's place.
        if (facts.st_uid != 0 && facts.st_uid != ::geteuid()) {
            return "it lies in " + folder.string() + ", which belongs to user " +
                   std::to_string(facts.st_uid);
        }
        if (folder == folder.root_path()) {
            break;
        }
    }
    return std::nullopt;
}

}  // namespace kivo::platform
