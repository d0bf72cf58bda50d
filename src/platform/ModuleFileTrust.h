#pragma once

// Whether a PKCS#11 library named in an NSS database may be loaded into the host. Loading runs
// the library's code with the user's rights outside any sandbox, so the file must be one that
// only root or the user could have put there.

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace kivo::platform {

// Why `library` (a path whose links are already resolved) must not be loaded: it is not a
// regular file, it or a folder above it belongs to another user or is writable by every user
// (a sticky folder such as /tmp only as the library's own folder), or it lies in one of
// `sandboxFolders` (which sandboxed applications can write). None when it may be loaded.
std::optional<std::string> untrustedModuleReason(
    const std::filesystem::path& library, std::span<const std::filesystem::path> sandboxFolders);

}  // namespace kivo::platform
