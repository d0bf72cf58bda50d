#pragma once

// What the checks read from the world around the host: the environment, the host's own program
// file, the time and the deployment's token class. The host passes its own; tests their worlds.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kivo::diagnostics {

struct Surroundings {
    // An environment variable's value; none when unset.
    std::function<std::optional<std::string>(const std::string& name)> variable;
    std::filesystem::path hostProgram;
    std::chrono::system_clock::time_point now;
    std::string tokenClassId;

    // The variable's value when set and not empty.
    std::optional<std::string> nonEmpty(const std::string& name) const;
    // $HOME, when set and not empty.
    std::optional<std::filesystem::path> home() const;
    // The folders of a colon-separated list variable, or of `fallback` when it is unset or empty.
    std::vector<std::filesystem::path> folderList(const std::string& name,
                                                  const std::string& fallback) const;
};

// This process's environment, program file (/proc/self/exe), clock and the build's token class.
Surroundings processSurroundings();

}  // namespace kivo::diagnostics
