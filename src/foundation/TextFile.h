#pragma once

// Reading a small text file whole (a configuration file, a manifest, the tail of a log).

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kivo::foundation {

// The file's bytes, or none when it cannot be opened or read. A file longer than `limit` gives
// its first `limit` bytes.
std::optional<std::string> readTextFile(const std::filesystem::path& path,
                                        std::size_t limit = std::size_t{1} << 20);

// The last `count` bytes of the file (all of it when shorter), or none when it cannot be read.
std::optional<std::string> readFileTail(const std::filesystem::path& path, std::size_t count);

}  // namespace kivo::foundation
