#include "foundation/TextFile.h"

#include <fstream>

namespace kivo::foundation {
namespace {

std::optional<std::string> readFrom(std::ifstream& stream, std::size_t limit) {
    std::string text(limit, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(limit));
    if (stream.bad()) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(stream.gcount()));
    return text;
}

}  // namespace

std::optional<std::string> readTextFile(const std::filesystem::path& path, std::size_t limit) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return std::nullopt;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(path, error);
    // Files of /proc and the like tell no size.
    return readFrom(stream, error || size == 0 ? limit : std::min<std::size_t>(limit, size));
}

std::optional<std::string> readFileTail(const std::filesystem::path& path, std::size_t count) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    std::ifstream stream(path, std::ios::binary);
    if (error || !stream) {
        return std::nullopt;
    }
    const std::size_t start = size > count ? size - count : 0;
    stream.seekg(static_cast<std::streamoff>(start));
    return readFrom(stream, static_cast<std::size_t>(size - start));
}

}  // namespace kivo::foundation
