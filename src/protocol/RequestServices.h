#pragma once

// What request handling needs from the world around it: the message channel to the browser,
// facts about the host and the machine, the key stores and the clocks. The host supplies the
// real ones; tests supply their own.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/KeyStore.h"
#include "protocol/Messages.h"

namespace kivo::protocol {

// Carries whole messages to and from the browser; what a message means is decided above it.
class MessageChannel {
  public:
    virtual ~MessageChannel() = default;
    // The next message's payload bytes, as they arrived; none when the input ended before a new
    // message began.
    virtual std::optional<std::string> readRequestMessage() = 0;
    virtual void writeResponseMessage(std::string_view payload) = 0;
};

struct VersionFacts {
    std::string bundleVersion;    // four dot-separated parts, for example 1.0.0.1
    std::string os;               // for example "Linux version 6.1.0"
    std::string osType;           // the architecture the host was built for
    std::string installLocation;  // the user's applications folder
};

struct RequestServices {
    VersionFacts versionFacts;
    // Opens the key stores for one request; called only by requests that search certificates.
    std::function<std::unique_ptr<foundation::KeyStore>()> openKeyStore;
    std::string tokenClassId;
    // The extension that started the host, when the browser named it; shown for approval.
    std::optional<std::string> caller;
    // The largest answer the browser that started the host accepts; none for other clients.
    std::optional<std::size_t> answerLimit;
    std::function<std::chrono::system_clock::time_point()> now;
    // Sets the idle period, in seconds (the caller applies its own minimum).
    std::function<void(double seconds)> setIdlePeriod;
};

}  // namespace kivo::protocol
