#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "KeyStoreScene.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "host/Log.h"

namespace kivo::testing {
namespace {

using certs::IdentityQueryResult;
using certs::StoredIdentity;
namespace status = certs::security_status;

// The logic above the platform: sources in order, filtering, log lines. The stores are small
// in-test classes; the certificates are real.
class NoKey final : public certs::PrivateKey {
  public:
    bool isAlgorithmSupported(certs::SignatureAlgorithm) const override { return false; }
    certs::SignatureOutcome createSignature(certs::SignatureAlgorithm,
                                            std::span<const std::uint8_t>) override {
        return {};
    }
};

class BytesCertificate final : public certs::StoredCertificate {
  public:
    explicit BytesCertificate(certs::Bytes der) : der_(std::move(der)) {}
    certs::Bytes derBytes() const override { return der_; }

  private:
    certs::Bytes der_;
};

class RecordingStore final : public certs::KeyStore {
  public:
    IdentityQueryResult system;
    std::vector<std::pair<std::string, IdentityQueryResult>> tokens;
    std::vector<std::string> queried;

    IdentityQueryResult querySystemIdentities() override {
        queried.push_back("system");
        return system;
    }
    std::vector<std::string> tokenIds() override {
        std::vector<std::string> ids;
        for (const auto& [id, result] : tokens) {
            ids.push_back(id);
        }
        return ids;
    }
    IdentityQueryResult queryTokenIdentities(const std::string& tokenId) override {
        queried.push_back(tokenId);
        for (const auto& [id, result] : tokens) {
            if (id == tokenId) {
                return result;
            }
        }
        return {status::notAvailable, {}};
    }
};

StoredIdentity identity(const certs::Bytes& der) {
    return StoredIdentity{der, std::make_shared<BytesCertificate>(der), std::make_shared<NoKey>()};
}

certs::Bytes derOf(const IssuedCertificate& certificate) {
    const std::string text = readFile(certificate.certDer);
    return certs::Bytes(text.begin(), text.end());
}

std::optional<std::string> commonName(const asn1::X509Certificate& certificate) {
    return certificate.subjectValue("2.5.4.3");
}

class CollectCandidates : public ::testing::Test {
  protected:
    CollectCandidates() { host::setProcessLog(host::LogFile(dir / "kivo-signing.log")); }
    ~CollectCandidates() override { host::setProcessLog(host::LogFile(std::nullopt)); }

    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::istringstream text(readFile(dir / "kivo-signing.log"));
        std::string line;
        while (std::getline(text, line)) {
            lines.push_back(line.substr(24));
        }
        return lines;
    }

    std::vector<std::string> collectNames(std::string_view classId,
                                          const certs::AcceptCandidate& accept) {
        std::vector<std::string> names;
        for (const auto& candidate : certs::collectCandidates(store, accept, classId)) {
            names.push_back(commonName(*candidate.parsedCertificate).value_or("<nil>"));
            EXPECT_TRUE(candidate.certificate && candidate.privateKey);
        }
        return names;
    }

    TempDir dir;
    RecordingStore store;
    const SharedPki& pki = sharedPki();
};

TEST_F(CollectCandidates, SystemStoreThenMatchingTokensInTheirOrder) {
    store.system = {status::success, {identity(derOf(pki.jane))}};
    store.tokens = {
        {"pkcs11:token=A;model=kivo-card", {status::success, {identity(derOf(pki.john))}}},
        {"pkcs11:token=B;model=other", {status::success, {identity(derOf(pki.mary))}}},
        {"pkcs11:token=C;model=kivo-card",
         {status::success, {identity(derOf(pki.mary)), identity(derOf(pki.jane))}}}};

    EXPECT_EQ(
        collectNames("kivo-card", [](const auto&) { return true; }),
        (std::vector<std::string>{"Jane Citizen", "John Citizen", "Mary Citizen", "Jane Citizen"}));
    EXPECT_EQ(store.queried, (std::vector<std::string>{"system", "pkcs11:token=A;model=kivo-card",
                                                       "pkcs11:token=C;model=kivo-card"}));
    // The substring test is case-sensitive; an empty class id takes every token.
    store.queried.clear();
    collectNames("KIVO-CARD", [](const auto&) { return true; });
    EXPECT_EQ(store.queried, std::vector<std::string>{"system"});
    EXPECT_EQ(collectNames("", [](const auto&) { return true; }).size(), 5u);
}

TEST_F(CollectCandidates, AcceptDecidesAndSeesEveryParsedIdentityOnce) {
    store.system = {
        status::success,
        {identity(derOf(pki.jane)), identity(derOf(pki.john)), identity(derOf(pki.mary))}};
    std::vector<std::string> seen;
    const auto names = collectNames("", [&](const asn1::X509Certificate& certificate) {
        seen.push_back(commonName(certificate).value_or("<nil>"));
        return seen.size() != 2;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"Jane Citizen", "John Citizen", "Mary Citizen"}));
    EXPECT_EQ(names, (std::vector<std::string>{"Jane Citizen", "Mary Citizen"}));
}

TEST_F(CollectCandidates, FailuresCostOnlyTheirQueryOrIdentity) {
    StoredIdentity withoutKey = identity(derOf(pki.john));
    withoutKey.privateKey.reset();
    StoredIdentity withoutCertificate = identity(derOf(pki.john));
    withoutCertificate.certificate.reset();
    store.system = {status::itemNotFound, {}};
    store.tokens = {
        {"t1", {-1, {}}},
        {"t2", {status::success, {}}},
        {"t3",
         {status::success,
          {identity({0x30, 0x84, 0x7f, 0xff, 0xff, 0xff}), withoutKey, withoutCertificate,
           identity(derOf(pki.mary))}}},
        {"t4", {status::authFailed, {identity(derOf(pki.jane))}}},
    };
    EXPECT_EQ(collectNames("t", [](const auto&) { return true; }),
              std::vector<std::string>{"Mary Citizen"});
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "INFO  Retrieving matching certificates from system KeyChain",
                              "ERROR Failed to access certificates (errSecItemNotFound)",
                              "INFO  Retrieving matching certificates from any smartcard tokens",
                              "ERROR Failed to access certificates (Unknown code (-1))",
                              "ERROR Unexpected identity contents",
                              "ERROR Unexpected certificate contents",
                              "ERROR Failed to access certificates (errSecAuthFailed)",
                          }));
}

}  // namespace
}  // namespace kivo::testing
