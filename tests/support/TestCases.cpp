#include "support/TestCases.h"

#include <stdexcept>

#include "support/TempDir.h"

namespace kivo::testing {

const nlohmann::json& testCases(const std::string& file, std::string_view section) {
    static std::map<std::string, nlohmann::json> files;
    auto [entry, added] = files.try_emplace(file);
    if (added) {
        entry->second =
            nlohmann::json::parse(readFile(std::string(KIVO_TEST_DATA_DIR) + "/" + file));
    }
    for (const auto& [name, rows] : entry->second.items()) {
        if (name.starts_with(section)) {
            return rows;
        }
    }
    throw std::out_of_range(file + " has no section " + std::string(section));
}

std::string withPlaceholders(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        for (auto at = text.find(name); at != std::string::npos;
             at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

}  // namespace kivo::testing
