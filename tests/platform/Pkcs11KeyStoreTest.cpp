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

std::vector<std::string> softHsmTokenIds(Pkcs11KeyStore& store) {
    std::vector<std::string> ids = store.tokenIds();
    std::erase_if(
        ids, [](const std::string& id) { return id.find(softHsmTokens) == std::string::npos; });
    return ids;
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

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, softHsmTokens);

    // Tokens come in the module's slot order, which SoftHSM2 derives from the serials.
    const auto ids = softHsmTokenIds(store);
    ASSERT_EQ(ids.size(), 2u);
    const bool alphaFirst = ids[0].find(alpha.uriFragment()) != std::string::npos;
    EXPECT_EQ(
        commonNames(candidates),
        (std::vector<std::string>{"Jane Citizen", alphaFirst ? "John Citizen" : "Mary Citizen",
                                  alphaFirst ? "Mary Citizen" : "John Citizen"}));
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(tokenLabel(candidates[0]), "NSS Certificate DB");
    EXPECT_EQ(tokenLabel(candidates[1]), alphaFirst ? "Alpha" : "Beta");
    EXPECT_EQ(tokenLabel(candidates[2]), alphaFirst ? "Beta" : "Alpha");
    EXPECT_EQ(candidates[0].certificate->derBytes(), fileBytes(pki.jane.certDer));
    EXPECT_EQ(scene.logLines(), (std::vector<std::string>{retrievingSystem, retrievingTokens}));
}

TEST(Pkcs11KeyStore, SearchesOnlyTokensWhoseIdContainsTheClassId) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const SoftHsmToken alpha = scene.softHsm.addToken("Alpha");
    const SoftHsmToken beta = scene.softHsm.addToken("Beta");
    alpha.importIdentity(pki.john, "01");
    // Beta would log an error if it were queried: it holds nothing.

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, alpha.uriFragment());

    EXPECT_EQ(commonNames(candidates), std::vector<std::string>{"John Citizen"});
    EXPECT_EQ(scene.logLines(),
              (std::vector<std::string>{retrievingSystem, itemNotFound, retrievingTokens}));
    for (const auto& id : softHsmTokenIds(store)) {
        EXPECT_NE(id.find("token=" + std::string(id.find(alpha.uriFragment()) != std::string::npos
                                                     ? "Alpha"
                                                     : "Beta")),
                  std::string::npos)
            << id;
    }
}

TEST(Pkcs11KeyStore, EmptyStoresLogItemNotFoundAndBlankTokensAreNotListed) {
    KeyStoreScene scene;
    const SoftHsmToken empty = scene.softHsm.addToken("Empty");  // SoftHSM2 adds a blank slot

    Pkcs11KeyStore store(scene.options());
    EXPECT_EQ(softHsmTokenIds(store).size(), 1u);
    // Where p11-kit's trust module is registered, its CA anchors are no smart card.
    for (const auto& id : store.tokenIds()) {
        EXPECT_EQ(id.find("model=p11-kit-trust"), std::string::npos) << id;
    }
    const auto candidates = certs::collectCandidates(store, acceptAll, softHsmTokens);

    EXPECT_TRUE(candidates.empty());
    EXPECT_EQ(scene.logLines(), (std::vector<std::string>{retrievingSystem, itemNotFound,
                                                          retrievingTokens, itemNotFound}));
    EXPECT_EQ(store.queryTokenIdentities("pkcs11:token=Nowhere").status,
              certs::security_status::notAvailable);
}

TEST(Pkcs11KeyStore, EmptyNssDatabaseIsItemNotFoundToo) {
    KeyStoreScene scene;
    NssDatabase nss(scene.home.path());
    Pkcs11KeyStore store(scene.options());
    EXPECT_EQ(store.querySystemIdentities().status, certs::security_status::itemNotFound);
}

TEST(Pkcs11KeyStore, CertificateWithoutKeyCountsOnlyWhereKeysMayBeHidden) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    // The NSS database has no password, so its keys are visible and Mary's lack of one shows.
    NssDatabase nss(scene.home.path());
    nss.importCertificateOnly(pki.mary, "mary");
    nss.importPkcs12(pki.jane, "jane");
    // SoftHSM2 hides private keys until login: John's certificate may have a key.
    const SoftHsmToken token = scene.softHsm.addToken("Alpha");
    token.importCertificateOnly(pki.john, "07");

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, token.uriFragment());
    EXPECT_EQ(commonNames(candidates), (std::vector<std::string>{"Jane Citizen", "John Citizen"}));

    // Once logged in the token shows there is no key.
    scene.pinentry.answer({PinAnswerScript::pin(token.userPin())});
    ASSERT_EQ(candidates.size(), 2u);
    const auto outcome = candidates[1].privateKey->createSignature(
        certs::SignatureAlgorithm::rsaPkcs1Sha256, certs::Bytes{1, 2, 3});
    EXPECT_EQ(outcome.error, "private key not found");
    EXPECT_FALSE(outcome.signature);
}

TEST(Pkcs11KeyStore, PasswordProtectedNssDatabaseHidesKeysUntilLogin) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    NssDatabase nss(scene.home.path(), "db-secret");
    nss.importCertificateOnly(pki.mary, "mary");
    Pkcs11KeyStore store(scene.options());
    const auto result = store.querySystemIdentities();
    ASSERT_EQ(result.status, certs::security_status::success);
    ASSERT_EQ(result.identities.size(), 1u);
    EXPECT_EQ(result.identities[0].certificateDer, fileBytes(pki.mary.certDer));
}

TEST(Pkcs11KeyStore, UnparsableCertificateIsSkippedAndTheOthersStillCount) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const SoftHsmToken token = scene.softHsm.addToken("Alpha");
    token.importIdentity(pki.jane, "01");
    // A SEQUENCE that claims more content than there is.
    token.importRawCertificate(std::string("\x30\x84\x7f\xff\xff\xff", 6), pki.mary, "02");
    token.importIdentity(pki.john, "03");

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, token.uriFragment());

    auto names = commonNames(candidates);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Jane Citizen", "John Citizen"}));
    const auto lines = scene.logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR Unexpected certificate contents"), 1)
        << ::testing::PrintToString(lines);
}

TEST(Pkcs11KeyStore, KeysKeepTheirModuleAfterTheStoreIsGone) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    NssDatabase nss(scene.home.path());
    nss.importPkcs12(pki.jane, "jane");
    const SoftHsmToken token = scene.softHsm.addToken("Alpha");
    token.importIdentity(pki.john, "01");
    scene.pinentry.answer({PinAnswerScript::pin(token.userPin())});

    std::vector<Candidate> candidates;
    {
        Pkcs11KeyStore store(scene.options());
        candidates = certs::collectCandidates(store, acceptAll, token.uriFragment());
    }
    ASSERT_EQ(candidates.size(), 2u);
    for (const auto& candidate : candidates) {
        const auto signature = certs::signData(certs::Bytes{'h', 'i'}, *candidate.privateKey,
                                               certs::SignatureAlgorithm::rsaPkcs1Sha256);
        EXPECT_EQ(signature.size(), 256u);
    }
    EXPECT_EQ(scene.pinentry.questionsAsked(), 1);  // only the token asked
}

TEST(Pkcs11KeyStore, DefaultOptionsComeFromTheEnvironment) {
    {
        const ScopedEnvironment environment(
            {{"HOME", "/home/someone"}, {"KIVO_PINENTRY", "/opt/pinentry-x"}});
        const auto options = platform::defaultKeyStoreOptions();
        EXPECT_EQ(options.nssDatabaseDir, std::filesystem::path("/home/someone/.pki/nssdb"));
        EXPECT_EQ(options.pinEntryProgram, "/opt/pinentry-x");
    }
    {
        const ScopedEnvironment environment({{"HOME", ""}, {"KIVO_PINENTRY", ""}});
        const auto options = platform::defaultKeyStoreOptions();
        EXPECT_FALSE(options.nssDatabaseDir);
        EXPECT_FALSE(options.pinEntryProgram);
        Pkcs11KeyStore store(options);
        EXPECT_EQ(store.querySystemIdentities().status, certs::security_status::itemNotFound);
    }
}

TEST(Pkcs11KeyStore, OpensNssDatabaseUnderAFolderNameWithQuotes) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const std::filesystem::path home = scene.dir / "o'neil \\ 'home'";
    NssDatabase nss(home);
    nss.importPkcs12(pki.jane, "jane");
    platform::KeyStoreOptions options;
    options.nssDatabaseDir = nss.directory();
    Pkcs11KeyStore store(options);
    const auto result = store.querySystemIdentities();
    EXPECT_EQ(result.status, certs::security_status::success);
    EXPECT_EQ(result.identities.size(), 1u);
}

}  // namespace
}  // namespace kivo::testing
