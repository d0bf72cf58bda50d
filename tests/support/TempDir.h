#pragma once

// A fresh folder for one test, removed with everything in it when the test ends.

#include <filesystem>
#include <string>
#include <vector>

namespace kivo::testing {

class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

// Runs a shell command; returns its exit status. Output goes to the test's own output.
int runCommand(const std::string& command);
// The lines of `text`, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace kivo::testing
