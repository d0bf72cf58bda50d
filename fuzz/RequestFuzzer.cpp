// Arbitrary bytes as the host's standard input: framing, JSON decoding and dispatch of every
// request they hold, as the request loop runs them, up to the point where a key store is asked
// for identities (the store here holds none). A failure must be a documented answer, never a
// crash, and each input ends with exactly what the loop would write.

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "certs/CertificateSources.h"
#include "host/Framing.h"
#include "host/Log.h"
#include "protocol/Dispatch.h"
#include "protocol/RequestServices.h"

namespace {

// A key store with no identities anywhere, as on a machine without certificates.
class EmptyKeyStore final : public kivo::certs::KeyStore {
  public:
    kivo::certs::IdentityQueryResult querySystemIdentities() override {
        return {kivo::certs::security_status::itemNotFound, {}};
    }
    std::vector<std::string> tokenIds() override { return {}; }
    kivo::certs::IdentityQueryResult queryTokenIdentities(const std::string&) override {
        return {kivo::certs::security_status::itemNotFound, {}};
    }
};

// An anonymous in-memory file: the channel reads and writes it through the same descriptor
// calls it uses on the browser's pipes.
class MemoryFile {
  public:
    MemoryFile() : fd_(::memfd_create("kivo-fuzz", 0)) {
        if (fd_ < 0) {
            std::abort();
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(fd_); }

    int fd() const { return fd_; }

    void fill(std::string_view bytes) const {
        ::ftruncate(fd_, 0);
        ::lseek(fd_, 0, SEEK_SET);
        kivo::host::writeAll(fd_, bytes);
        ::lseek(fd_, 0, SEEK_SET);
    }

  private:
    int fd_;
};

kivo::protocol::RequestServices emptyServices() {
    kivo::protocol::RequestServices services;
    services.versionFacts = {"1.0.0.1", "Linux version 6.1.0", "x86_64",
                             "/home/user/.local/share/applications"};
    services.openKeyStore = [] { return std::make_unique<EmptyKeyStore>(); };
    services.tokenClassId = "";
    services.now = [] {
        return std::chrono::system_clock::time_point(std::chrono::seconds(1'750'000'000));
    };
    services.setIdlePeriod = [](double) {};
    return services;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::host::setProcessLog(kivo::host::LogFile(std::nullopt));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile input;
    static const MemoryFile output;
    static const kivo::protocol::RequestServices services = emptyServices();
    input.fill(std::string_view(reinterpret_cast<const char*>(data), size));
    output.fill("");
    kivo::host::setVerboseLogging(false);

    kivo::host::FramedChannel channel(input.fd(), output.fd());
    try {
        while (kivo::protocol::processRequest(channel, services) ==
               kivo::protocol::RequestOutcome::answered) {
        }
    } catch (...) {
        kivo::protocol::answerWithError(channel, std::current_exception());
    }
    return 0;
}
