#pragma once

// Reading a small configuration file that someone else may have put in our way: only a regular
// file is read, opened without blocking (a FIFO in its place cannot stall the host) and only up
// to a size limit (a link to /dev/zero cannot make the host grow).

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kivo::foundation {

// The whole text of `path` when it is a regular file of at most `limit` bytes; none when it is
// missing, not a regular file, larger, or cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         std::size_t limit = std::size_t{1} << 20);

}  // namespace kivo::foundation
