#include "diagnostics/Surroundings.h"

#include <cstdlib>
#include <sstream>

#include "BuildConfig.h"

namespace kivo::diagnostics {

std::optional<std::string> Surroundings::nonEmpty(const std::string& name) const {
    auto value = variable(name);
    return value && !value->empty() ? value : std::nullopt;
}

std::optional<std::filesystem::path> Surroundings::home() const {
    return nonEmpty("HOME");
}

std::vector<std::filesystem::path> Surroundings::folderList(const std::string& name,
                                                            const std::string& fallback) const {
    std::istringstream list(nonEmpty(name).value_or(fallback));
    std::vector<std::filesystem::path> folders;
    for (std::string folder; std::getline(list, folder, ':');) {
        if (!folder.empty()) {
            folders.emplace_back(folder);
        }
    }
    return folders;
}

Surroundings processSurroundings() {
    Surroundings surroundings;
    surroundings.variable = [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    std::error_code error;
    surroundings.hostProgram = std::filesystem::read_symlink("/proc/self/exe", error);
    surroundings.now = std::chrono::system_clock::now();
    surroundings.tokenClassId = build::smartCardTokenClassId;
    return surroundings;
}

}  // namespace kivo::diagnostics
