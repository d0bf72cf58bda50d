#pragma once

// The process log written to a folder of the test's own while the object lives, verbose when
// asked; logging goes off again at the end.

#include "foundation/Log.h"
#include "support/TempDir.h"

namespace kivo::testing {

class ScopedLog {
  public:
    explicit ScopedLog(bool verbose = false) {
        foundation::setProcessLog(foundation::LogFile(path_));
        foundation::setVerboseLogging(verbose);
    }
    ~ScopedLog() {
        foundation::setProcessLog(foundation::LogFile(std::nullopt));
        foundation::setVerboseLogging(false);
    }

    std::string text() const { return readFile(path_); }

  private:
    TempDir folder_;
    std::filesystem::path path_ = folder_ / "kivo-signing.log";
};

}  // namespace kivo::testing
