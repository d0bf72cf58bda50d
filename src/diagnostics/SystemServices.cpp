#include "diagnostics/SystemServices.h"

#include "BuildConfig.h"
#include "platform/Pkcs11KeyStore.h"
#include "platform/SystemFacts.h"

namespace kivo::diagnostics {

protocol::RequestServices systemServices(std::vector<int> browserChannel) {
    protocol::RequestServices services;
    services.versionFacts = {build::version, platform::operatingSystemDescription(),
                             build::architecture, platform::applicationsFolder()};
    services.openKeyStore = [browserChannel = std::move(browserChannel)] {
        platform::KeyStoreOptions options = platform::defaultKeyStoreOptions();
        options.browserChannel = browserChannel;
        return std::make_unique<platform::Pkcs11KeyStore>(std::move(options));
    };
    services.tokenClassId = build::smartCardTokenClassId;
    services.now = [] { return std::chrono::system_clock::now(); };
    services.setIdlePeriod = [](double) {};
    return services;
}

}  // namespace kivo::diagnostics
