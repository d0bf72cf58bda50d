// Key search and signing on real stores: SoftHSM2 tokens, an NSS database and the scripted
// pinentry, all applied to this process's environment and log while a test runs.

#include "platform/Pkcs11KeyStore.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>

#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "foundation/Log.h"
#include "foundation/SigningError.h"
#include "platform/Pkcs11PrivateKey.h"
#include "support/KeyStoreFixtures.h"
#include "support/TempDir.h"

namespace kivo::testing {
namespace {

using certs::Candidate;
using foundation::SignatureAlgorithm;
using platform::Pkcs11KeyStore;

struct SharedPki {
    TempDir dir;
    TestCa ca = makeCa(dir.path(), "Kivo Test CA");
    IssuedCertificate jane = issueCertificate(dir.path(), ca, {}, "jane");
    IssuedCertificate john = issue("John Citizen", "john");
    IssuedCertificate mary = issue("Mary Citizen", "mary");

    IssuedCertificate issue(const std::string& commonName, const std::string& name) {
        CertificateFields wanted;
        wanted.commonName = commonName;
        return issueCertificate(dir.path(), ca, wanted, name);
    }
};

// Made once per test program: key generation is what takes the time.
const SharedPki& sharedPki() {
    static const auto pki = std::make_unique<const SharedPki>();
    return *pki;
}

struct KeyStoreScene {
    KeyStoreScene() { foundation::setProcessLog(foundation::LogFile(dir / "kivo-signing.log")); }
    ~KeyStoreScene() { foundation::setProcessLog(foundation::LogFile(std::nullopt)); }

    platform::KeyStoreOptions options() const { return platform::defaultKeyStoreOptions(); }

    // "LEVEL message": the "dd-MM-yyyy HH:mm:ss.SSS " prefix removed.
    std::vector<std::string> logLines() const {
        std::istringstream text(readFile(dir / "kivo-signing.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line.size() > 24 ? line.substr(24) : line);
        }
        return lines;
    }

    TempDir dir;
    TestHome home{dir / "home"};
    SoftHsm softHsm{dir / "softhsm"};
    ScriptedPinentry pinentry{dir / "pinentry"};
    ScopedEnvironment environment{
        mergedEnvironments({home.environment(), softHsm.environment(), pinentry.environment()})};
};

constexpr const char* softHsmTokens = "model=SoftHSM%20v2";
const std::string retrievingSystem = "INFO  Retrieving matching certificates from system KeyChain";
const std::string retrievingTokens =
    "INFO  Retrieving matching certificates from any smartcard tokens";

auto acceptAll = [](const asn1::X509Certificate&) { return true; };

std::vector<std::string> commonNames(const std::vector<Candidate>& candidates) {
    std::vector<std::string> names;
    for (const auto& candidate : candidates) {
        names.push_back(candidate.parsedCertificate->subjectValue("2.5.4.3").value_or("<nil>"));
    }
    return names;
}

std::string tokenLabel(const Candidate& candidate) {
    return dynamic_cast<const platform::Pkcs11PrivateKey&>(*candidate.privateKey).token().label();
}

TEST(Pkcs11KeyStore, SystemStoreFirstThenMatchingTokensInSlotOrder) {
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
    std::vector<std::string> ids = store.tokenIds();
    std::erase_if(ids, [](const auto& id) { return id.find(softHsmTokens) == std::string::npos; });
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
    EXPECT_EQ(scene.logLines(), (std::vector<std::string>{retrievingSystem, retrievingTokens}));
    // Only tokens whose id contains the class id are searched.
    EXPECT_EQ(commonNames(certs::collectCandidates(store, acceptAll, alpha.uriFragment())),
              (std::vector<std::string>{"Jane Citizen", "John Citizen"}));
}

const foundation::Bytes message{'<', 'S', 'i', 'g', 'n', 'e', 'd', 'I', 'n', 'f', 'o', '/', '>'};

// RSASSA-PKCS1-v1_5 is deterministic: the token must give exactly openssl's bytes.
std::string opensslSignature(const TempDir& dir, const IssuedCertificate& certificate,
                             const char* digest) {
    const auto input = dir / "message";
    writeFile(input, std::string(message.begin(), message.end()));
    return runProgram(
        {"openssl", "dgst", digest, "-sign", certificate.keyPem.string(), input.string()});
}

std::string asText(const foundation::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One token for the whole suite; each test makes its own store, so logins do not carry over.
class Pkcs11Signing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const SharedPki& pki = sharedPki();
        scene_ = std::make_unique<KeyStoreScene>();
        token_.emplace(scene_->softHsm.addToken("Signer Card", "2468"));
        token_->importIdentity(pki.jane, "01");
        token_->importIdentity(pki.john, "02", ImportOptions{{"RSA-PKCS"}, false});
    }
    static void TearDownTestSuite() {
        token_.reset();
        scene_.reset();
    }

    void SetUp() override {
        scene_->pinentry.answer({});
        store_ = std::make_unique<Pkcs11KeyStore>(scene_->options());
    }

    // The token's key whose certificate has this subject CN.
    std::shared_ptr<foundation::PrivateKey> keyOf(const std::string& commonName) {
        const auto candidates = certs::collectCandidates(
            *store_,
            [&](const asn1::X509Certificate& certificate) {
                return certificate.subjectValue("2.5.4.3") == commonName;
            },
            token_->uriFragment());
        EXPECT_EQ(candidates.size(), 1u) << commonName;
        return candidates.empty() ? nullptr : candidates.front().privateKey;
    }

    static KeyStoreScene& scene() { return *scene_; }

    std::unique_ptr<Pkcs11KeyStore> store_;

  private:
    static inline std::unique_ptr<KeyStoreScene> scene_;
    static inline std::optional<SoftHsmToken> token_;
};

// Also covers the CKM_RSA_PKCS path: John's key allows nothing else, so the digest is made on
// the host and the token signs the DigestInfo.
TEST_F(Pkcs11Signing, SignsLikeOpensslWithEveryAlgorithmAlsoThroughRawRsa) {
    const SharedPki& pki = sharedPki();
    const auto jane = keyOf("Jane Citizen");
    const auto john = keyOf("John Citizen");
    ASSERT_TRUE(jane && john);
    scene().pinentry.answer({PinAnswerScript::pin("2468")});
    const std::pair<SignatureAlgorithm, const char*> algorithms[] = {
        {SignatureAlgorithm::rsaPkcs1Sha1, "-sha1"},
        {SignatureAlgorithm::rsaPkcs1Sha256, "-sha256"},
        {SignatureAlgorithm::rsaPkcs1Sha512, "-sha512"}};
    for (const auto& [key, certificate] :
         {std::pair{jane, &pki.jane}, std::pair{john, &pki.john}}) {
        for (const auto& [algorithm, digest] : algorithms) {
            SCOPED_TRACE(std::string(digest) + " " + certificate->certPem.string());
            const foundation::Bytes signature = foundation::signData(message, *key, algorithm);
            EXPECT_EQ(asText(signature), opensslSignature(scene().dir, *certificate, digest));
        }
    }
    // The login lasts for the store's life: one PIN for six signatures.
    EXPECT_EQ(scene().pinentry.questionsAsked(), 1);
}

TEST_F(Pkcs11Signing, PinEntryOutcomes) {
    const auto pin = PinAnswerScript::pin;
    const struct {
        const char* name;
        std::vector<PinAnswerScript> answers;
        std::optional<std::string> error;  // after "Failed to create signature: "; none: signs
        int questions;
    } cases[] = {
        {"right PIN", {pin("2468")}, std::nullopt, 1},
        {"cancelled", {PinAnswerScript::cancel()}, "PIN entry cancelled", 1},
        {"wrong then right", {pin("1111"), pin("2468")}, std::nullopt, 2},
        {"wrong then cancelled",
         {pin("1111"), PinAnswerScript::cancel()},
         "PIN entry cancelled",
         2},
        {"three wrong",
         {pin("1111"), pin("2222"), pin("3333"), pin("2468")},
         "CKR_PIN_INCORRECT",
         3},
        {"pinentry hangs up", {PinAnswerScript::hangUp()}, "PIN entry failed", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();  // a fresh store: not logged in
        const auto jane = keyOf("Jane Citizen");
        ASSERT_TRUE(jane);
        scene().pinentry.answer(c.answers);
        try {
            const auto signature =
                foundation::signData(message, *jane, SignatureAlgorithm::rsaPkcs1Sha256);
            EXPECT_FALSE(c.error) << "signed";
            EXPECT_EQ(signature.size(), 256u);
        } catch (const foundation::SigningError& error) {
            EXPECT_EQ(error.code(), 100);
            EXPECT_EQ(error.message(), "Failed to create signature: " + c.error.value_or("?"));
        }
        EXPECT_EQ(scene().pinentry.questionsAsked(), c.questions);
    }
}

TEST_F(Pkcs11Signing, PromptNamesTokenAndSignerAndShowsWrongPinBeforeAskingAgain) {
    const auto jane = keyOf("Jane Citizen");
    ASSERT_TRUE(jane);
    scene().pinentry.answer({PinAnswerScript::pin("1111"), PinAnswerScript::pin("2468")});
    foundation::signData(message, *jane, SignatureAlgorithm::rsaPkcs1Sha256);

    std::vector<std::string> descriptions;
    std::vector<std::string> errors;
    for (const auto& command : scene().pinentry.commands()) {
        if (command.starts_with("SETDESC ")) {
            descriptions.push_back(command.substr(8));
        } else if (command.starts_with("SETERROR ")) {
            errors.push_back(command.substr(9));
        }
        EXPECT_EQ(command.find("2468"), std::string::npos)
            << "the PIN went to pinentry: " << command;
    }
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0], "Enter the PIN of \"Signer Card\" to sign as Jane Citizen.");
    ASSERT_EQ(errors.size(), 1u);  // only the second question shows an error
    EXPECT_TRUE(errors[0].starts_with("Wrong PIN.")) << errors[0];
}

// Each store signs twice; the PIN questions show which logins it needed.
TEST(Pkcs11SigningStores, NssDatabasesAndKeysThatAskOnEveryUse) {
    const SharedPki& pki = sharedPki();
    const struct {
        const char* name;
        std::optional<std::string> nssPassword;  // none: a token key that asks on every use
        int questions;
    } cases[] = {
        {"NSS database without password", std::nullopt, 0},
        {"NSS database with password", "db-secret", 1},
        // The token login once, then the key's own PIN for each signature.
        {"always-authenticate key", std::nullopt, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeyStoreScene scene;
        std::string classId = "no token matches this";
        if (c.questions == 3) {
            const SoftHsmToken token = scene.softHsm.addToken("Qualified Card", "2468");
            token.importIdentity(pki.jane, "01", ImportOptions{{}, true});
            classId = token.uriFragment();
        } else {
            NssDatabase(scene.home.path(), c.nssPassword).importPkcs12(pki.jane, "jane");
        }
        const auto pin = PinAnswerScript::pin(c.nssPassword.value_or("2468"));
        scene.pinentry.answer({pin, pin, pin});

        Pkcs11KeyStore store(scene.options());
        const auto candidates = certs::collectCandidates(store, acceptAll, classId);
        ASSERT_EQ(candidates.size(), 1u);
        for (int use = 0; use < 2; ++use) {
            const auto signature = foundation::signData(message, *candidates[0].privateKey,
                                                        SignatureAlgorithm::rsaPkcs1Sha512);
            EXPECT_EQ(asText(signature), opensslSignature(scene.dir, pki.jane, "-sha512"));
        }
        EXPECT_EQ(scene.pinentry.questionsAsked(), c.questions);
    }
}

}  // namespace
}  // namespace kivo::testing
