#include "certs/CertificateSelection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "certs/RsaKey.h"
#include "foundation/SigningError.h"
#include "support/TestCases.h"
#include "support/TestPki.h"

namespace kivo::certs {
namespace {

using namespace std::chrono;
using foundation::Bytes;
using foundation::IdentityQueryResult;
using foundation::SignatureAlgorithm;
using foundation::SigningError;

// The request time every test uses; certificates carry fixed dates around it.
const asn1::TimePoint testNow = sys_days{2026y / June / 1};

// Stands for both halves of an identity; never signs: selection only hands the reference on.
struct Named : StoredCertificate, PrivateKey {
    Named(std::string name, Bytes der) : name(std::move(name)), der(std::move(der)) {}
    const Bytes& derBytes() const override { return der; }
    bool isAlgorithmSupported(SignatureAlgorithm) const override { return false; }
    Bytes sign(SignatureAlgorithm, std::span<const std::uint8_t>) override { return {}; }
    std::string name;
    Bytes der;
};

// A system store and one token, each listing named identities in a fixed order.
class ListedKeyStore : public KeyStore {
  public:
    ListedKeyStore(IdentityQueryResult system, IdentityQueryResult token)
        : system_(std::move(system)), token_(std::move(token)) {}
    IdentityQueryResult querySystemIdentities() override { return system_; }
    std::vector<std::string> tokenIds() override { return {"test-token"}; }
    IdentityQueryResult queryTokenIdentities(const std::string&) override { return token_; }

  private:
    IdentityQueryResult system_, token_;
};

// The committed certificates of tests/data/pki/make-pki.sh, by name.
Bytes der(const std::string& name) {
    return testing::readBytes(testing::committedCertificate(name).certDer);
}

IdentityQueryResult identities(const nlohmann::json& names) {
    IdentityQueryResult result;
    for (const std::string name : names) {
        const auto named = std::make_shared<Named>(name, der(name));
        result.identities.push_back({named, named, "store of " + name});
    }
    return result;
}

// Jane's request (AKI list: the committed CA's) with `changes`: each field's value, or null for
// none.
UserDetails request(const nlohmann::json& changes) {
    UserDetails user{std::vector{testing::committedCa("ca").subjectKeyIdHex}, "Jane Citizen",
                     "51824753556", "jane@example.com"};
    for (const auto& [field, value] : changes.items()) {
        if (field == "aki") {
            user.aki = value.is_null() ? std::nullopt
                                       : std::optional(value.get<std::vector<std::string>>());
        } else {
            (field == "name"    ? user.name
             : field == "email" ? user.email
                                : user.abn) =
                value.is_null() ? std::nullopt : std::optional(value.get<std::string>());
        }
    }
    return user;
}

const nlohmann::json& cases(std::string_view section) {
    return testing::testCases("certs/selection.json", section);
}

TEST(CertificateSelection, CandidateTestAppliesEachRule) {
    for (const auto& c : cases("candidate test")) {
        EXPECT_EQ(isCandidate(*asn1::X509Certificate::fromDer(der(c[1].get<std::string>())),
                              request(c[2])),
                  c[3].get<bool>())
            << c[0];
    }
}

// The selection as a sign request runs it: the verdict on every identity and everything wrong
// with the winner, although the request fails on the first; then the winner with the display
// values and the RSA key the signature needs from it, or the error.
TEST(CertificateSelection, SelectsByAkiPriorityThenLatestExpiry) {
    const char* const verdictNames[] = {
        "chosen",     "nameDiffers",  "noSigningKeyUsage",  "emailDiffers",
        "abnDiffers", "akiNotListed", "lowerAkiPreference", "earlierExpiry"};
    const char* const problemNames[] = {"notRsa", "expired", "notYetValid", "noIssuerCn"};
    for (const auto& c : cases("selection")) {
        SCOPED_TRACE(c[0].get<std::string>());
        ListedKeyStore store(identities(c[2]), identities(c[3]));
        const auto outcome = selectSigningCertificate(request(c[1]), store, "", testNow);
        nlohmann::json verdicts = nlohmann::json::array(), problems = nlohmann::json::array();
        for (const auto& identity : outcome.identities) {
            verdicts.push_back(verdictNames[static_cast<int>(identity.verdict)]);
        }
        for (const auto problem : outcome.chosenProblems) {
            problems.push_back(problemNames[static_cast<int>(problem)]);
        }
        EXPECT_EQ(verdicts, c[5]);
        EXPECT_EQ(problems, c[6]);
        // Diagnostics read the selection: it stands only where the request does not fail.
        EXPECT_NE(outcome.selection.has_value(), outcome.failure.has_value());
        if (!outcome.identities.empty()) {
            EXPECT_EQ(outcome.identities.back().storeName,
                      "store of " + (c[3].empty() ? c[2] : c[3]).back().get<std::string>());
        }
        try {
            const auto selection = findSigningCertificate(request(c[1]), store, "", testNow);
            const auto modulus = rsaPublicKeyComponents(*selection.parsedCertificate).modulus;
            const std::string& winner = dynamic_cast<Named&>(*selection.certificate).name;
            EXPECT_EQ(
                winner + " " + selection.serial + " " + selection.expiry + " " + selection.issuer,
                c[4].get<std::string>());
            EXPECT_EQ(winner, dynamic_cast<Named&>(*selection.privateKey).name);
            EXPECT_EQ(
                modulus,
                asn1::X509Certificate::fromDer(der(winner))->publicKey()->rsaComponents()->first);
        } catch (const SigningError& error) {
            EXPECT_EQ(std::to_string(error.code()) + " " + error.message(),
                      c[4].get<std::string>());
        }
    }
}

}  // namespace
}  // namespace kivo::certs
