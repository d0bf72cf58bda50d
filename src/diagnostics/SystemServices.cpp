#include "diagnostics/SystemServices.h"

#include "BuildConfig.h"
#include "platform/Pkcs11KeyStore.h"
#include "platform/SystemFacts.h"

namespace kivo::diagnostics {

protocol::RequestServices systemServices() {
    protocol::RequestServices services;
    services.versionFacts = {build::version, platform::operatingSystemDescription(),
                             build::architecture, platform::applicationsFolder()};
    services.openKeyStore = [] {
        return std::make_unique<platform::Pkcs11KeyStore>(platform::defaultKeyStoreOptions());
    };
    services.tokenClassId = build::smartCardTokenClassId;
    services.now = [] { return std::chrono::system_clock::now(); };
    services.setIdlePeriod = [](double) {};
    return services;
}

}  // namespace kivo::diagnostics
