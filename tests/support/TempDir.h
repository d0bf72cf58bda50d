#pragma once

// A fresh folder for one test, removed with everything in it when the test ends.

#include <filesystem>
#include <string>

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
// Runs a shell command and returns what it printed on standard output; fails the test when the
// command exits non-zero.
std::string commandOutput(const std::string& command);

}  // namespace kivo::testing
