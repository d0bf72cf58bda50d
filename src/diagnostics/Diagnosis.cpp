#include "diagnostics/Diagnosis.h"

#include "diagnostics/ApprovalCheck.h"
#include "diagnostics/BrowserCheck.h"
#include "diagnostics/HostCheck.h"
#include "diagnostics/IdentityCheck.h"
#include "diagnostics/KeyStoreCheck.h"
#include "diagnostics/LogCheck.h"
#include "foundation/Log.h"
#include "platform/Pkcs11KeyStore.h"

namespace kivo::diagnostics {
namespace {

// The store of the identity a sign request would use, when the selection chose one.
std::optional<std::string> signingStore(const Section& identities) {
    for (const Finding& finding : identities.findings) {
        if (finding.facts.value("verdict", nlohmann::json()) == "chosen" &&
            finding.mark != Mark::problem) {
            return finding.facts.value("store", "");
        }
    }
    return std::nullopt;
}

}  // namespace

Report diagnose(const Surroundings& surroundings, const SignerOptions& signer) {
    Report report;
    report.sections = {{"host", "Host", {}},
                       {"browsers", "Browsers", {}},
                       {"key_stores", "Key stores", {}},
                       {"identities", "Identities", {}},
                       {"approval", "Approval", {}},
                       {"log", "Log", {}}};
    Section& host = report.sections[0];
    Section& browsers = report.sections[1];
    Section& keyStores = report.sections[2];
    Section& identities = report.sections[3];
    Section& approval = report.sections[4];
    Section& log = report.sections[5];
    checkHost(surroundings, host);
    checkBrowsers(knownBrowsers(), surroundings, browsers, report.blockers);
    {
        platform::KeyStoreOptions options = platform::defaultKeyStoreOptions();
        options.inventory = std::make_shared<platform::KeyStoreInventory>();
        platform::Pkcs11KeyStore store(options);
        // The search loads and records every store; the inventory shows what it met.
        checkIdentities(store, surroundings, signer, identities, report.blockers);
        checkKeyStores(*options.inventory, surroundings.tokenClassId, signingStore(identities),
                       keyStores, report.blockers);
    }
    checkApproval(surroundings, approval, report.blockers);
    checkLog(foundation::defaultLogPath(), log);
    return report;
}

}  // namespace kivo::diagnostics
