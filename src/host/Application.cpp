#include "host/Application.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <span>
#include <string_view>

#include "BuildConfig.h"
#include "foundation/Log.h"
#include "host/ChannelWatch.h"
#include "host/Framing.h"
#include "host/IdleTimeout.h"
#include "platform/Pkcs11KeyStore.h"
#include "platform/SystemFacts.h"
#include "protocol/Dispatch.h"
#include "protocol/SigningApproval.h"

namespace kivo::host {

using foundation::LogLevel;
using foundation::setVerboseLogging;
using foundation::writeLog;
namespace {

using SystemClock = std::chrono::system_clock;

// The browser's channel: where requests come from and answers go.
struct ChannelDescriptors {
    int input;
    int output;
};

// The idle clock is looked at once per slice.
constexpr int idleSliceMilliseconds = 1000;

void applyVerboseEnvironment() {
    if (const char* value = std::getenv("KIVO_VERBOSE_LOGGING")) {
        setVerboseLogging(std::string_view(value) == "ON");
    }
}

protocol::RequestServices makeServices(TimeoutManager& timeout,
                                       std::span<const char* const> arguments,
                                       const ChannelDescriptors& channel) {
    protocol::RequestServices services;
    services.versionFacts = {build::version, platform::operatingSystemDescription(),
                             build::architecture, platform::applicationsFolder()};
    services.openKeyStore = [channel] {
        platform::KeyStoreOptions options = platform::defaultKeyStoreOptions();
        options.browserChannel = {channel.input, channel.output};
        return std::make_unique<platform::Pkcs11KeyStore>(std::move(options));
    };
    services.tokenClassId = build::smartCardTokenClassId;
    services.caller = protocol::callerFromArguments(arguments);
    // Browsers drop any message from a host larger than 1 MB, after the user approved and the
    // host signed; a browser names its extension when it starts the host.
    if (services.caller) {
        services.answerLimit = 1024 * 1024;
    }
    services.now = [] { return SystemClock::now(); };
    services.setIdlePeriod = [&timeout](double seconds) { timeout.setPeriod(seconds); };
    return services;
}

enum class Wait { inputReady, sliceOver };

Wait waitForInput(int fd) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = ::poll(&watch, 1, idleSliceMilliseconds);
    return ready > 0 ? Wait::inputReady : Wait::sliceOver;
}

}  // namespace

int runApplication(int argc, char** argv) {
    // The browser may close our output at any time; that must not kill the host mid-log.
    ::signal(SIGPIPE, SIG_IGN);
    writeLog(LogLevel::info, "Application launched");
    applyVerboseEnvironment();

    TimeoutManager timeout;
    timeout.start(SystemClock::now());
    const ChannelDescriptors descriptors{STDIN_FILENO, STDOUT_FILENO};
    FramedChannel channel(descriptors.input, descriptors.output);
    const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
    const protocol::RequestServices services =
        makeServices(timeout, arguments.empty() ? arguments : arguments.subspan(1), descriptors);

    while (true) {
        if (waitForInput(STDIN_FILENO) == Wait::sliceOver) {
            if (timeout.expired(SystemClock::now())) {
                break;
            }
            continue;
        }
        timeout.pause();
        writeLog(LogLevel::info, "Processing a new request");
        const protocol::RequestOutcome outcome = [&] {
            const ChannelWatch watch(descriptors.output);
            return protocol::processRequest(channel, services);
        }();
        if (outcome == protocol::RequestOutcome::failed || channel.broken()) {
            return EXIT_FAILURE;
        }
        if (outcome == protocol::RequestOutcome::endOfInput) {
            break;
        }
        timeout.start(SystemClock::now());
    }
    writeLog(LogLevel::info, "Application terminating");
    return EXIT_SUCCESS;
}

}  // namespace kivo::host
