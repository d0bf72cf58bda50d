#include "certs/CertificateSelection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>

#include "foundation/SigningError.h"
#include "support/TempDir.h"
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

struct Pki {
    testing::TempDir dir;
    std::map<std::string, std::string> akis;  // "A", "B", "NOCN" -> lower-case hex
    std::map<std::string, Bytes> der;
};

// Octets C0, C1 and F5-FF never occur in UTF-8: an identifier holding one is never read as text.
testing::TestCa makeCaWithBinaryKeyId(const std::filesystem::path& dir, const std::string& cn) {
    for (;;) {
        auto ca = testing::makeCa(dir, cn);
        for (std::size_t i = 0; i + 1 < ca.subjectKeyIdHex.size(); i += 2) {
            const auto octet = std::stoi(ca.subjectKeyIdHex.substr(i, 2), nullptr, 16);
            if (octet == 0xc0 || octet == 0xc1 || octet >= 0xf5) {
                return ca;
            }
        }
    }
}

std::unique_ptr<Pki> makePki() {
    auto pki = std::make_unique<Pki>();
    const auto caA = makeCaWithBinaryKeyId(pki->dir.path(), "Kivo Test CA A");
    const auto caB = makeCaWithBinaryKeyId(pki->dir.path(), "Kivo Test CA B");
    const auto caNoCn = makeCaWithBinaryKeyId(pki->dir.path(), "");
    pki->akis = {
        {"A", caA.subjectKeyIdHex}, {"B", caB.subjectKeyIdHex}, {"NOCN", caNoCn.subjectKeyIdHex}};
    const auto issue = [&](const std::string& name, const testing::TestCa& ca, auto&& adjust) {
        testing::CertificateFields wanted;
        adjust(wanted);
        const auto issued = testing::issueCertificate(pki->dir.path(), ca, wanted, name);
        pki->der[name] = testing::readBytes(issued.certDer);
    };
    const auto expiring = [](std::string notAfter) {
        return [notAfter](testing::CertificateFields& wanted) { wanted.notAfter = notAfter; };
    };
    issue("a2030", caA, [](auto& wanted) {
        wanted.notAfter = "20300630135959Z";
        wanted.serialHex = "0a1b2c";
    });
    issue("a2032", caA, expiring("20321231000000Z"));
    issue("a2032twin", caA, expiring("20321231000000Z"));
    issue("b2035", caB, expiring("20351231000000Z"));
    issue("a9000", caA, expiring("90000101000000Z"));
    issue("a9999", caA, expiring("99991231235959Z"));
    issue("aExpired", caA, expiring("20260101000000Z"));
    issue("aFuture", caA, [](auto& wanted) {
        wanted.notBefore = "20270101000000Z";
        wanted.notAfter = "20450101000000Z";
    });
    issue("noKeyUsage", caA, [](auto& wanted) { wanted.keyUsage.reset(); });
    issue("keyEncipherment", caA,
          [](auto& wanted) { wanted.keyUsage = "critical,keyEncipherment"; });
    issue("bare", caA, [](auto& wanted) {
        wanted.email.reset();
        wanted.abn.reset();
        wanted.authorityKeyIdentifier = false;
        wanted.keyUsage = "critical,keyEncipherment";
    });
    issue("noAki", caA, [](auto& wanted) { wanted.authorityKeyIdentifier = false; });
    issue("zoe", caA, [](auto& wanted) { wanted.commonName = "Zo\u00eb Citizen"; });
    issue("noIssuerCn", caNoCn, [](auto&) {});

    return pki;
}

class CertificateSelectionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki_ = makePki(); }
    static void TearDownTestSuite() { pki_.reset(); }

    static std::string aki(const std::string& key) { return pki_->akis.at(key); }

    static std::shared_ptr<const asn1::X509Certificate> parsed(const std::string& name) {
        return asn1::X509Certificate::fromDer(pki_->der.at(name));
    }

    static IdentityQueryResult identities(const std::vector<std::string>& names) {
        IdentityQueryResult result;
        for (const auto& name : names) {
            const auto named = std::make_shared<Named>(name, pki_->der.at(name));
            result.identities.push_back({named, named, "store of " + name});
        }
        return result;
    }

    static UserDetails jane(std::vector<std::string> akis) {
        return {std::move(akis), "Jane Citizen", "51824753556", "jane@example.com"};
    }

    static inline std::unique_ptr<Pki> pki_;
};

TEST_F(CertificateSelectionTest, CandidateTestAppliesEachRule) {
    const auto upper = [](std::string text) {
        std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::toupper(c); });
        return text;
    };
    const auto details = [&](auto&& adjust) {
        auto user = jane({aki("A")});
        adjust(user);
        return user;
    };
    const auto same = [](UserDetails&) {};
    const struct {
        const char* label;
        const char* certificate;
        UserDetails user;
        bool accepted;
    } cases[] = {
        {"exact match", "a2030", details(same), true},
        {"name differs in case", "a2030", details([](auto& u) { u.name = "jane citizen"; }), false},
        {"e-mail differs in case", "a2030", details([](auto& u) { u.email = "Jane@EXAMPLE.com"; }),
         true},
        {"ABN written with spaces", "a2030", details([](auto& u) { u.abn = "51 824 753 556"; }),
         false},
        {"empty name", "a2030", details([](auto& u) { u.name = ""; }), false},
        {"empty e-mail", "a2030", details([](auto& u) { u.email = ""; }), false},
        {"other AKI only", "a2030", details([&](auto& u) { u.aki = {aki("B")}; }), false},
        {"upper-case AKI second", "a2030", details([&](auto& u) {
             u.aki = {aki("B"), upper(aki("A"))};
         }),
         true},
        {"empty AKI list", "a2030", details([](auto& u) { u.aki.emplace(); }), true},
        {"AKI list missing", "a2030", details([](auto& u) { u.aki.reset(); }), false},
        {"no key usage extension", "noKeyUsage", details(same), true},
        {"key usage without digitalSignature", "keyEncipherment", details(same), false},
        {"no subject e-mail or ABN", "bare", details([](auto& u) { u.aki.emplace(); }), false},
        {"no AKI extension", "noAki", details(same), false},
        {"no AKI extension, empty list", "noAki", details([](auto& u) { u.aki.emplace(); }), true},
        {"NFC subject, NFD name", "zoe", details([](auto& u) { u.name = "Zoe\u0308 Citizen"; }),
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isCandidate(*parsed(c.certificate), c.user), c.accepted) << c.label;
    }
}

TEST_F(CertificateSelectionTest, SelectsByAkiPriorityThenLatestExpiry) {
    const struct {
        const char* label;
        std::vector<std::string> akis;
        std::vector<std::string> system, token;
        std::string winner;  // empty: an error
        std::int64_t errorCode;
    } cases[] = {
        {"later expiry found second", {"A"}, {"a2030", "a2032"}, {}, "a2032", 0},
        {"later expiry found first", {"A"}, {"a2032", "a2030"}, {}, "a2032", 0},
        {"both after 2262, later second", {"A"}, {"a9000", "a9999"}, {}, "a9999", 0},
        {"both after 2262, later first", {"A"}, {"a9999"}, {"a9000"}, "a9999", 0},
        {"tie: key store before token", {"A"}, {"a2032twin"}, {"a2032"}, "a2032twin", 0},
        {"first AKI beats later expiry", {"A", "B"}, {"b2035", "a2030"}, {}, "a2030", 0},
        {"AKI order reversed", {"B", "A"}, {"a2030"}, {"b2035"}, "b2035", 0},
        {"first AKI has no carrier", {"B", "A"}, {"a2030"}, {}, "a2030", 0},
        {"no identities", {"A"}, {}, {}, "", 102},
        {"empty AKI list", {}, {"a2030"}, {}, "", 102},
        {"expired winner, valid other", {"A", "B"}, {"b2035", "aExpired"}, {}, "", 107},
        {"later winner not yet valid", {"A"}, {"a2030", "aFuture"}, {}, "", 107},
        {"issuer without CN", {"NOCN"}, {"noIssuerCn"}, {}, "", 105},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> akis;
        std::ranges::transform(c.akis, std::back_inserter(akis), aki);
        ListedKeyStore store(identities(c.system), identities(c.token));
        try {
            const auto selection = findSigningCertificate(jane(akis), store, "", testNow);
            EXPECT_EQ(c.winner, dynamic_cast<Named&>(*selection.privateKey).name);
            EXPECT_EQ(c.winner, dynamic_cast<Named&>(*selection.certificate).name);
            EXPECT_EQ(selection.parsedCertificate->serial(), parsed(c.winner)->serial());
        } catch (const SigningError& error) {
            const std::map<std::int64_t, std::string> messages = {
                {102, "Certificate not found"},
                {105, "Signing certificate does not include Issuer CN"},
                {107, "Signing certificate has expired"}};
            EXPECT_EQ(error.code(), c.errorCode);
            EXPECT_EQ(error.message(), messages.at(error.code()));
            EXPECT_TRUE(c.winner.empty()) << error.message();
        }
    }
}

TEST_F(CertificateSelectionTest, MissingRequestFieldsInOrderThenDisplayValuesOfTheMatch) {
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

    const auto selection = findSigningCertificate(jane({aki("A")}), store, "", testNow);
    EXPECT_EQ(selection.serial, "0a1b2c");
    EXPECT_EQ(selection.expiry, "2030-06-30T13:59:59.000Z");
    EXPECT_EQ(selection.issuer, "Kivo Test CA A");

    // RFC 5280's "no well-defined expiry" is reported as written, not clamped.
    ListedKeyStore unending(identities({"a9999"}), {});
    EXPECT_EQ(findSigningCertificate(jane({aki("A")}), unending, "", testNow).expiry,
              "9999-12-31T23:59:59.000Z");
}

// The selection's verdict on every identity: the candidate test's first reason, or how the
// ranking placed it; and everything wrong with the winner, although the request fails on the first.
TEST_F(CertificateSelectionTest, GivesAVerdictOnEveryIdentityAndNamesTheWinnersProblems) {
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
        std::vector<std::string> akis;
        std::ranges::transform(c.akis, std::back_inserter(akis), aki);
        ListedKeyStore store(identities(c.system), identities(c.token));
        const auto outcome = selectSigningCertificate(jane(akis), store, "", testNow);
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
    UserDetails noName = jane({aki("A")});
    noName.name.reset();
    const auto unasked = selectSigningCertificate(noName, store, "", testNow);
    EXPECT_TRUE(unasked.identities.empty());
    EXPECT_EQ(unasked.failure->code(), 101);
}

}  // namespace
}  // namespace kivo::certs
