#include "platform/Pkcs11KeyStore.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "KeyStoreScene.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "platform/Pkcs11PrivateKey.h"

namespace kivo::testing {
namespace {

using certs::Candidate;
using platform::Pkcs11KeyStore;

constexpr const char* softHsmTokens = "model=SoftHSM%20v2";

const std::string retrievingSystem = "INFO  Retrieving matching certificates from system KeyChain";
const std::string retrievingTokens =
    "INFO  Retrieving matching certificates from any smartcard tokens";
const std::string itemNotFound = "ERROR Failed to access certificates (errSecItemNotFound)";

auto acceptAll = [](const asn1::X509Certificate&) { return true; };

std::vector<std::string> commonNames(const std::vector<Candidate>& candidates) {
    std::vector<std::string> names;
    for (const auto& candidate : candidates) {
        names.push_back(candidate.parsedCertificate->subjectValue("2.5.4.3").value_or("<nil>"));
    }
    return names;
}

certs::Bytes fileBytes(const std::filesystem::path& path) {
    const std::string text = readFile(path);
    return certs::Bytes(text.begin(), text.end());
}

std::string tokenLabel(const Candidate& candidate) {
    return dynamic_cast<const platform::Pkcs11PrivateKey&>(*candidate.privateKey).token().label();
}

TEST(Pkcs11KeyStore, SystemStoreFirstThenTokensInSlotOrder) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    NssDatabase nss(scene.home.path());
    nss.importPkcs12(pki.jane, "jane");
    const SoftHsmToken alpha = scene.softHsm.addToken("Alpha");
    const SoftHsmToken beta = scene.softHsm.addToken("Beta");
    alpha.importIdentity(pki.john, "01");
    beta.importIdentity(pki.mary, "02");
    beta.importIdentity(pki.john, "03");

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, softHsmTokens);

    // Tokens come in the module's slot order, which SoftHSM2 derives from the serials.
    const auto ids = store.tokenIds();
    ASSERT_EQ(ids.size(), 2u);
    const bool alphaFirst = ids[0].find(alpha.uriFragment()) != std::string::npos;
    std::vector<std::string> expected{"Jane Citizen"};
    const std::vector<std::string> alphaNames{"John Citizen"};
    const std::vector<std::string> betaNames{"Mary Citizen", "John Citizen"};
    for (const auto* names :
         alphaFirst ? std::vector{&alphaNames, &betaNames} : std::vector{&betaNames, &alphaNames}) {
        expected.insert(expected.end(), names->begin(), names->end());
    }
    EXPECT_EQ(commonNames(candidates), expected);
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(tokenLabel(candidates[0]), "NSS Certificate DB");
    EXPECT_EQ(tokenLabel(candidates[1]), alphaFirst ? "Alpha" : "Beta");
    EXPECT_EQ(candidates[0].certificate->derBytes(), fileBytes(pki.jane.certDer));
    EXPECT_EQ(scene.logLines(), (std::vector<std::string>{retrievingSystem, retrievingTokens}));
}

}  // namespace
}  // namespace kivo::testing
