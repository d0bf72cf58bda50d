#include "certs/CertificateSelection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>

#include "certs/RsaKey.h"
#include "foundation/SigningError.h"
#include "support/TempDir.h"
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

// "A", "B" and "NOCN": the committed CAs' key identifiers, lower-case hex; "^A": A's upper-cased.
std::string aki(const std::string& key) {
    std::string hex = testing::committedCa(key.ends_with("A")   ? "ca"
                                           : key.ends_with("B") ? "ca-b"
                                                                : "ca-nocn")
                          .subjectKeyIdHex;
    if (key.starts_with("^")) {
        std::ranges::transform(hex, hex.begin(), [](unsigned char c) { return std::toupper(c); });
    }
    return hex;
}

// The committed certificates of tests/data/pki/make-pki.sh, by name.
Bytes der(const std::string& name) {
    return testing::readBytes(testing::committedCertificate(name).certDer);
}

IdentityQueryResult identities(const std::vector<std::string>& names) {
    IdentityQueryResult result;
    for (const auto& name : names) {
        const auto named = std::make_shared<Named>(name, der(name));
        result.identities.push_back({named, named, "store of " + name});
    }
    return result;
}

UserDetails jane(std::vector<std::string> akis) {
    std::ranges::transform(akis, akis.begin(), aki);
    return {std::move(akis), "Jane Citizen", "51824753556", "jane@example.com"};
}

const nlohmann::json& cases(std::string_view section) {
    return testing::testCases("certs/selection.json", section);
}

TEST(CertificateSelection, CandidateTestAppliesEachRule) {
    for (const auto& c : cases("candidate test")) {
        UserDetails user = jane({"A"});
        for (const auto& [field, value] : c[2].items()) {
            if (field == "aki") {
                user.aki =
                    value.is_null()
                        ? std::nullopt
                        : std::optional(jane(value.get<std::vector<std::string>>()).aki.value());
            } else {
                (field == "name"    ? user.name
                 : field == "email" ? user.email
                                    : user.abn) = value.get<std::string>();
            }
        }
        EXPECT_EQ(isCandidate(*asn1::X509Certificate::fromDer(der(c[1].get<std::string>())), user),
                  c[3].get<bool>())
            << c[0];
    }
}

// The choice, then the RSA key the signature needs from it, as a sign request reads them.
TEST(CertificateSelection, SelectsByAkiPriorityThenLatestExpiry) {
    for (const auto& c : cases("choice")) {
        SCOPED_TRACE(c[0].get<std::string>());
        ListedKeyStore store(identities(c[2].get<std::vector<std::string>>()),
                             identities(c[3].get<std::vector<std::string>>()));
        try {
            const auto selection = findSigningCertificate(
                jane(c[1].get<std::vector<std::string>>()), store, "", testNow);
            const auto key = rsaPublicKeyComponents(*selection.parsedCertificate);
            const std::string& winner = dynamic_cast<Named&>(*selection.certificate).name;
            const std::string outcome = c[4];
            EXPECT_EQ(outcome, winner);
            EXPECT_EQ(outcome, dynamic_cast<Named&>(*selection.privateKey).name);
            EXPECT_EQ(
                key.modulus,
                asn1::X509Certificate::fromDer(der(winner))->publicKey()->rsaComponents()->first);
        } catch (const SigningError& error) {
            EXPECT_EQ(std::to_string(error.code()) + " " + error.message(),
                      c[4].get<std::string>());
        }
    }
}

TEST(CertificateSelection, MissingRequestFieldsInOrderThenDisplayValuesOfTheMatch) {
    const std::string missing = " is missing from the signing request message";
    UserDetails user;
    ListedKeyStore store(identities({"a2030"}), {});
    const auto errorFor = [&] {
        try {
            findSigningCertificate(user, store, "", testNow);
        } catch (const SigningError& error) {
            return std::to_string(error.code()) + " " + error.message();
        }
        return std::string("no error");
    };
    EXPECT_EQ(errorFor(), "101 Name" + missing);
    user.name = "";
    EXPECT_EQ(errorFor(), "101 Email" + missing);
    user.email = "";
    EXPECT_EQ(errorFor(), "101 ABN" + missing);
    user.abn = "";
    EXPECT_EQ(errorFor(), "101 AKI list" + missing);

    const auto selection = findSigningCertificate(jane({"A"}), store, "", testNow);
    EXPECT_EQ(selection.serial, "0a1b2c");
    EXPECT_EQ(selection.expiry, "2030-06-30T13:59:59.000Z");
    EXPECT_EQ(selection.issuer, "Kivo Test CA");

    // RFC 5280's "no well-defined expiry" is reported as written, not clamped.
    ListedKeyStore unending(identities({"a9999"}), {});
    EXPECT_EQ(findSigningCertificate(jane({"A"}), unending, "", testNow).expiry,
              "9999-12-31T23:59:59.000Z");
}

// The selection's verdict on every identity: the candidate test's first reason, or how the
// ranking placed it; and everything wrong with the winner, although the request fails on the first.
TEST(CertificateSelection, GivesAVerdictOnEveryIdentityAndNamesTheWinnersProblems) {
    using V = IdentityVerdict;
    using P = ChosenProblem;
    const struct {
        const char* label;
        std::vector<std::string> akis;
        std::vector<std::string> system, token;
        std::vector<V> verdicts;  // in search order: system, then token
        std::vector<P> problems;
    } cases[] = {
        {"rejections in test order",
         {"A"},
         {"bare", "zoe", "keyEncipherment", "noAki", "a2030"},
         {},
         {V::noSigningKeyUsage, V::nameDiffers, V::noSigningKeyUsage, V::akiNotListed, V::chosen},
         {}},
        {"ranking: same AKI, then a later one",
         {"A", "B"},
         {"a2030", "b2035"},
         {"a2032"},
         {V::earlierExpiry, V::lowerAkiPreference, V::chosen},
         {}},
        {"empty AKI list chooses nothing", {}, {"a2030"}, {}, {V::akiNotListed}, {}},
        {"winner not yet valid",
         {"A"},
         {"a2030", "aFuture"},
         {},
         {V::earlierExpiry, V::chosen},
         {P::notYetValid}},
        {"winner expired", {"A"}, {"aExpired"}, {}, {V::chosen}, {P::expired}},
        {"winner without issuer CN", {"NOCN"}, {"noIssuerCn"}, {}, {V::chosen}, {P::noIssuerCn}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ListedKeyStore store(identities(c.system), identities(c.token));
        const auto outcome = selectSigningCertificate(jane(c.akis), store, "", testNow);
        std::vector<V> verdicts;
        for (const auto& identity : outcome.identities) {
            verdicts.push_back(identity.verdict);
        }
        EXPECT_EQ(verdicts, c.verdicts);
        EXPECT_EQ(outcome.chosenProblems, c.problems);
        EXPECT_EQ(outcome.selection.has_value(), c.problems.empty() && !c.akis.empty());
        EXPECT_EQ(outcome.identities.back().storeName,
                  "store of " + (c.token.empty() ? c.system.back() : c.token.back()));
    }
    ListedKeyStore store(identities({"a2030"}), {});
    UserDetails noName = jane({"A"});
    noName.name.reset();
    const auto unasked = selectSigningCertificate(noName, store, "", testNow);
    EXPECT_TRUE(unasked.identities.empty());
    EXPECT_EQ(unasked.failure->code(), 101);
}

}  // namespace
}  // namespace kivo::certs
