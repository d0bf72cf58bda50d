#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "KeyStoreScene.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "platform/Pkcs11KeyStore.h"
#include "protocol/SigningError.h"

namespace kivo::testing {
namespace {

using certs::SignatureAlgorithm;
using platform::Pkcs11KeyStore;

const certs::Bytes message{'<', 'S', 'i', 'g', 'n', 'e', 'd', 'I', 'n', 'f', 'o', '/', '>'};

struct AlgorithmCase {
    SignatureAlgorithm algorithm;
    const char* opensslDigest;
};

constexpr AlgorithmCase algorithms[] = {{SignatureAlgorithm::rsaPkcs1Sha1, "-sha1"},
                                        {SignatureAlgorithm::rsaPkcs1Sha256, "-sha256"},
                                        {SignatureAlgorithm::rsaPkcs1Sha512, "-sha512"}};

// RSASSA-PKCS1-v1_5 is deterministic: the token must give exactly openssl's bytes.
std::string opensslSignature(const TempDir& dir, const IssuedCertificate& certificate,
                             const char* digest) {
    const auto input = dir / "message";
    writeFile(input, std::string(message.begin(), message.end()));
    return runProgram(
        {"openssl", "dgst", digest, "-sign", certificate.keyPem.string(), input.string()});
}

bool opensslVerifies(const TempDir& dir, const IssuedCertificate& certificate, const char* digest,
                     const certs::Bytes& signature) {
    const auto input = dir / "message";
    const auto signatureFile = dir / "signature";
    const auto publicKey = dir / "public.pem";
    writeFile(input, std::string(message.begin(), message.end()));
    writeFile(signatureFile, std::string(signature.begin(), signature.end()));
    writeFile(publicKey, runProgram({"openssl", "x509", "-in", certificate.certPem.string(),
                                     "-noout", "-pubkey"}));
    return runCommand("openssl dgst " + std::string(digest) + " -verify " + publicKey.string() +
                      " -signature " + signatureFile.string() + " " + input.string() +
                      " >/dev/null") == 0;
}

std::string asText(const certs::Bytes& bytes) {
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
        token_->importIdentity(pki.mary, "03", ImportOptions{{"SHA1-RSA-PKCS"}, false});
        token_->importIdentity(pki.ec, "04");
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
    std::shared_ptr<certs::PrivateKey> keyOf(const std::string& commonName) {
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
    static const SoftHsmToken& token() { return *token_; }

    std::unique_ptr<Pkcs11KeyStore> store_;

  private:
    static std::unique_ptr<KeyStoreScene> scene_;
    static std::optional<SoftHsmToken> token_;
};

std::unique_ptr<KeyStoreScene> Pkcs11Signing::scene_;
std::optional<SoftHsmToken> Pkcs11Signing::token_;

// Also covers the CKM_RSA_PKCS path: John's key allows nothing else, so the digest is made on
// the host and the token signs the DigestInfo.
TEST_F(Pkcs11Signing, SignsLikeOpensslWithEveryAlgorithmAlsoThroughRawRsa) {
    const SharedPki& pki = sharedPki();
    const auto jane = keyOf("Jane Citizen");
    const auto john = keyOf("John Citizen");
    ASSERT_TRUE(jane && john);
    scene().pinentry.answer({PinAnswerScript::pin("2468")});
    for (const auto& [key, certificate] :
         {std::pair{jane, &pki.jane}, std::pair{john, &pki.john}}) {
        for (const AlgorithmCase& c : algorithms) {
            SCOPED_TRACE(std::string(c.opensslDigest) + " " + certificate->certPem.string());
            const certs::Bytes signature = certs::signData(message, *key, c.algorithm);
            EXPECT_EQ(asText(signature),
                      opensslSignature(scene().dir, *certificate, c.opensslDigest));
            EXPECT_TRUE(opensslVerifies(scene().dir, *certificate, c.opensslDigest, signature));
        }
    }
    // The login lasts for the store's life: one PIN for six signatures.
    EXPECT_EQ(scene().pinentry.questionsAsked(), 1);
}

TEST_F(Pkcs11Signing, KeyThatCannotSignIsRejectedWithoutASigningCall) {
    const auto ec = keyOf("Eve Curve");
    ASSERT_TRUE(ec);
    try {
        certs::signData(message, *ec, SignatureAlgorithm::rsaPkcs1Sha256);
        FAIL() << "an EC key signed with RSA";
    } catch (const protocol::SigningError& error) {
        EXPECT_EQ(error.code(), 108);
        EXPECT_EQ(error.message(), "Signing algorithm is not supported");
    }
    EXPECT_EQ(scene().pinentry.questionsAsked(), 0);

    // Mary's key allows SHA-1 only; once logged in the token shows that.
    const auto mary = keyOf("Mary Citizen");
    ASSERT_TRUE(mary);
    scene().pinentry.answer({PinAnswerScript::pin("2468")});
    EXPECT_NO_THROW(certs::signData(message, *mary, SignatureAlgorithm::rsaPkcs1Sha1));
    EXPECT_TRUE(mary->isAlgorithmSupported(SignatureAlgorithm::rsaPkcs1Sha1));
    EXPECT_FALSE(mary->isAlgorithmSupported(SignatureAlgorithm::rsaPkcs1Sha256));
    EXPECT_FALSE(mary->isAlgorithmSupported(SignatureAlgorithm::rsaPkcs1Sha512));
}

struct PinCase {
    const char* name;
    std::vector<PinAnswerScript> answers;
    std::optional<std::string> error;  // after "Failed to create signature: "; none: signs
    int questions;
};

TEST_F(Pkcs11Signing, PinEntryOutcomes) {
    const std::vector<PinCase> cases{
        {"right PIN", {PinAnswerScript::pin("2468")}, std::nullopt, 1},
        {"cancelled", {PinAnswerScript::cancel()}, "PIN entry cancelled", 1},
        {"wrong then right",
         {PinAnswerScript::pin("1111"), PinAnswerScript::pin("2468")},
         std::nullopt,
         2},
        {"wrong then cancelled",
         {PinAnswerScript::pin("1111"), PinAnswerScript::cancel()},
         "PIN entry cancelled",
         2},
        {"three wrong",
         {PinAnswerScript::pin("1111"), PinAnswerScript::pin("2222"), PinAnswerScript::pin("3333"),
          PinAnswerScript::pin("2468")},
         "CKR_PIN_INCORRECT",
         3},
        {"pinentry hangs up", {PinAnswerScript::hangUp()}, "PIN entry failed", 1},
        {"pinentry fails", {PinAnswerScript::fail()}, "PIN entry failed", 1},
    };
    for (const PinCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();  // a fresh store: not logged in
        const auto jane = keyOf("Jane Citizen");
        ASSERT_TRUE(jane);
        scene().pinentry.answer(c.answers);
        try {
            const auto signature =
                certs::signData(message, *jane, SignatureAlgorithm::rsaPkcs1Sha256);
            EXPECT_FALSE(c.error) << "signed";
            EXPECT_EQ(signature.size(), 256u);
        } catch (const protocol::SigningError& error) {
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
    certs::signData(message, *jane, SignatureAlgorithm::rsaPkcs1Sha256);

    std::vector<std::string> descriptions;
    std::vector<std::string> errors;
    for (const auto& command : scene().pinentry.commands()) {
        if (command.starts_with("SETDESC ")) {
            descriptions.push_back(command.substr(8));
        } else if (command.starts_with("SETERROR ")) {
            errors.push_back(command.substr(9));
        }
    }
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0], "Enter the PIN of \"Signer Card\" to sign as Jane Citizen.");
    ASSERT_EQ(errors.size(), 1u);  // only the second question shows an error
    EXPECT_TRUE(errors[0].starts_with("Wrong PIN.")) << errors[0];
    for (const auto& command : scene().pinentry.commands()) {
        EXPECT_EQ(command.find("2468"), std::string::npos)
            << "the PIN went to pinentry: " << command;
    }
}

TEST_F(Pkcs11Signing, MissingPinEntryProgram) {
    platform::KeyStoreOptions options = scene().options();
    options.pinEntryProgram = "kivo-no-such-pinentry";
    store_ = std::make_unique<Pkcs11KeyStore>(options);
    const auto jane = keyOf("Jane Citizen");
    ASSERT_TRUE(jane);
    try {
        certs::signData(message, *jane, SignatureAlgorithm::rsaPkcs1Sha256);
        FAIL() << "signed without a PIN";
    } catch (const protocol::SigningError& error) {
        EXPECT_EQ(error.message(), "Failed to create signature: no PIN entry program");
    }
}

TEST(Pkcs11SigningStores, LockedPinStopsBeforeAsking) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const SoftHsmToken token = scene.softHsm.addToken("Locked Card");
    token.importIdentity(pki.jane, "01");
    token.markUserPinLocked();
    scene.pinentry.answer({PinAnswerScript::pin(token.userPin())});

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(
        store, [](const asn1::X509Certificate&) { return true; }, token.uriFragment());
    ASSERT_EQ(candidates.size(), 1u);
    try {
        certs::signData(message, *candidates[0].privateKey, SignatureAlgorithm::rsaPkcs1Sha256);
        FAIL() << "signed with a locked PIN";
    } catch (const protocol::SigningError& error) {
        EXPECT_EQ(error.message(), "Failed to create signature: CKR_PIN_LOCKED");
    }
    EXPECT_EQ(scene.pinentry.questionsAsked(), 0);
}

TEST(Pkcs11SigningStores, NssDatabaseSignsWithoutLoginUnlessItHasAPassword) {
    const SharedPki& pki = sharedPki();
    for (const std::optional<std::string>& password :
         {std::optional<std::string>(), std::optional<std::string>("db-secret")}) {
        SCOPED_TRACE(password.value_or("no password"));
        KeyStoreScene scene;
        NssDatabase nss(scene.home.path(), password);
        nss.importPkcs12(pki.jane, "jane");
        scene.pinentry.answer({PinAnswerScript::pin("db-secret")});

        Pkcs11KeyStore store(scene.options());
        const auto result = store.querySystemIdentities();
        ASSERT_EQ(result.identities.size(), 1u);
        const auto signature = certs::signData(message, *result.identities[0].privateKey,
                                               SignatureAlgorithm::rsaPkcs1Sha512);
        EXPECT_EQ(asText(signature), opensslSignature(scene.dir, pki.jane, "-sha512"));
        EXPECT_EQ(scene.pinentry.questionsAsked(), password ? 1 : 0);
    }
}

TEST(Pkcs11SigningStores, KeyThatAsksForThePinOnEveryUse) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const SoftHsmToken token = scene.softHsm.addToken("Qualified Card");
    token.importIdentity(pki.jane, "01", ImportOptions{{}, true});
    scene.pinentry.answer({PinAnswerScript::pin(token.userPin()),
                           PinAnswerScript::pin(token.userPin()),
                           PinAnswerScript::pin(token.userPin())});

    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(
        store, [](const asn1::X509Certificate&) { return true; }, token.uriFragment());
    ASSERT_EQ(candidates.size(), 1u);
    for (int use = 0; use < 2; ++use) {
        const auto signature =
            certs::signData(message, *candidates[0].privateKey, SignatureAlgorithm::rsaPkcs1Sha256);
        EXPECT_EQ(asText(signature), opensslSignature(scene.dir, pki.jane, "-sha256"));
    }
    // The token login once, then the key's own PIN for each signature.
    EXPECT_EQ(scene.pinentry.questionsAsked(), 3);
}

}  // namespace
}  // namespace kivo::testing
