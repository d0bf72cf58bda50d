#pragma once

// The process log written to a folder of the test's own while the object lives, verbose when
// asked; logging goes off again at the end.

#include "foundation/Log.h"
#include "support/TempDir.h"

namespace kivo::testing {

class ScopedLog {
  public:
    explicit ScopedLog(bool verbose = false) {
        foundation::setProcessLog(foundation::LogFile(path()));
        foundation::setVerboseLogging(verbose);
    }
    ~ScopedLog() {
        foundation::setProcessLog(foundation::LogFile(std::nullopt));
        foundation::setVerboseLogging(false);
    }

    std::filesystem::path path() const { return folder_ / "kivo-signing.log"; }
    std::string text() const { return readFile(path()); }

  private:
    TempDir folder_;
};

}  // namespace kivo::testing
