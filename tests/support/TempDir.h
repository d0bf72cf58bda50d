#pragma once

// A fresh folder for one test, removed with everything in it when the test ends.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kivo::testing {

// Variables a child process gets on top of (or instead of) those of this process.
using Environment = std::map<std::string, std::string>;

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
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
// Makes the folders on the way when needed.
void writeFile(const std::filesystem::path& path, const std::string& contents);

// Polls `condition` until it holds (readiness, not a guessed delay); false once `limit` passed.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(60));

// The loud banner of a test that skips because packages are missing (ctest's skip pattern
// "*** SKIPPED"); `missing` lists them, each after a space.
void printSkipBanner(const std::string& what, const std::string& missing);

// Runs a shell command; returns its exit status. Output goes to the test's own output.
int runCommand(const std::string& command);
// The lines of `text`, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace kivo::testing
