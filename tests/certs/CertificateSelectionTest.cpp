#include "certs/CertificateSelection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "host/Log.h"
#include "protocol/SigningError.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::certs {
namespace {

using namespace std::chrono;
using protocol::SigningError;

// The request time every test uses; certificates carry fixed dates around it.
const asn1::TimePoint testNow = sys_days{2026y / June / 1};

struct NamedCertificate : StoredCertificate {
    NamedCertificate(std::string name, Bytes der) : name(std::move(name)), der(std::move(der)) {}
    Bytes derBytes() const override { return der; }
    std::string name;
    Bytes der;
};

// Never signs: selection only hands the reference on.
struct NamedKey : PrivateKey {
    explicit NamedKey(std::string name) : name(std::move(name)) {}
    bool isAlgorithmSupported(SignatureAlgorithm) const override { return false; }
    SignatureOutcome createSignature(SignatureAlgorithm, std::span<const std::uint8_t>) override {
        return {};
    }
    std::string name;
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
bool surelyNotUtf8(const std::string& hex) {
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const auto octet = std::stoi(hex.substr(i, 2), nullptr, 16);
        if (octet == 0xc0 || octet == 0xc1 || octet >= 0xf5) {
            return true;
        }
    }
    return false;
}

testing::TestCa makeCaWithBinaryKeyId(const std::filesystem::path& dir, const std::string& cn) {
    auto ca = testing::makeCa(dir, cn);
    while (!surelyNotUtf8(ca.subjectKeyIdHex)) {
        ca = testing::makeCa(dir, cn);
    }
    return ca;
}

std::unique_ptr<Pki> makePki() {
    auto pki = std::make_unique<Pki>();
    const auto caA = makeCaWithBinaryKeyId(pki->dir.path(), "Kivo Test CA A");
    const auto caB = makeCaWithBinaryKeyId(pki->dir.path(), "Kivo Test CA B");
    const auto caNoCn = makeCaWithBinaryKeyId(pki->dir.path(), "");
    pki->akis = {
        {"A", caA.subjectKeyIdHex}, {"B", caB.subjectKeyIdHex}, {"NOCN", caNoCn.subjectKeyIdHex}};
    const auto issue = [&](const std::string& name, const testing::TestCa& ca, auto&& adjust) {
        testing::CertificateSpec wanted;
        adjust(wanted);
        const auto issued = testing::issueCertificate(pki->dir.path(), ca, wanted, name);
        const auto bytes = testing::readFile(issued.certDer);
        pki->der[name] = Bytes(bytes.begin(), bytes.end());
    };
    const auto expiring = [](std::string notAfter) {
        return [notAfter](testing::CertificateSpec& wanted) { wanted.notAfter = notAfter; };
    };
    issue("a2030", caA, [](auto& wanted) {
        wanted.notAfter = "20300630135959Z";
        wanted.serialHex = "0a1b2c";
    });
    issue("a2032", caA, expiring("20321231000000Z"));
    issue("a2032twin", caA, expiring("20321231000000Z"));
    issue("b2035", caB, expiring("20351231000000Z"));
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

    // The same certificate with a notAfter month of 13: its date cannot be read.
    auto undated = pki->der.at("a2032");
    const std::string utcTime = "321231000000Z";
    const auto at = std::search(undated.begin(), undated.end(), utcTime.begin(), utcTime.end());
    if (at == undated.end()) {
        throw std::runtime_error("notAfter not found in a2032");
    }
    at[2] = '1';
    at[3] = '3';
    pki->der["aUndated"] = undated;
    return pki;
}

class CertificateSelectionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki_ = makePki(); }
    static void TearDownTestSuite() { pki_.reset(); }

    void SetUp() override {
        startLog("kivo-signing.log");
        host::setVerboseLogging(true);
    }

    void startLog(const std::string& name) {
        logPath_ = logDir_ / name;
        host::setProcessLog(host::LogFile(logPath_));
    }
    void TearDown() override {
        host::setVerboseLogging(false);
        host::setProcessLog(host::LogFile(std::nullopt));
    }

    static std::string aki(const std::string& key) { return pki_->akis.at(key); }

    static std::shared_ptr<const asn1::X509Certificate> parsed(const std::string& name) {
        return asn1::X509Certificate::fromDer(pki_->der.at(name));
    }

    static IdentityQueryResult identities(const std::vector<std::string>& names) {
        IdentityQueryResult result;
        for (const auto& name : names) {
            result.identities.push_back(
                {pki_->der.at(name), std::make_shared<NamedCertificate>(name, pki_->der.at(name)),
                 std::make_shared<NamedKey>(name)});
        }
        return result;
    }

    static UserDetails jane(std::vector<std::string> akis) {
        return {std::move(akis), "Jane Citizen", "51824753556", "jane@example.com"};
    }

    // The lines this component writes, as "LEVEL message"; the store's own lines are left out.
    std::vector<std::string> selectionLog() const {
        std::vector<std::string> lines;
        std::istringstream log(testing::readFile(logPath_));
        for (std::string line; std::getline(log, line);) {
            const std::string level = line.substr(24, line.find(' ', 24) - 24);
            const std::string message = line.substr(30);
            for (const char* prefix : {"Searching for certificate with", "Found certificate",
                                       "Next certificate", "Certificate "}) {
                if (message.starts_with(prefix)) {
                    lines.push_back(level + " " + message);
                }
            }
        }
        return lines;
    }

    std::vector<std::string> infoLines() const {
        auto lines = selectionLog();
        std::erase_if(lines, [](const std::string& line) { return !line.starts_with("INFO "); });
        return lines;
    }

    static inline std::unique_ptr<Pki> pki_;
    testing::TempDir logDir_;
    std::filesystem::path logPath_;
};

TEST_F(CertificateSelectionTest, CandidateTestAppliesEachRule) {
    const auto upper = [](std::string text) {
        std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::toupper(c); });
        return text;
    };
    const auto withColons = [](const std::string& hex) {
        std::string out;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            out += (i ? ":" : "") + hex.substr(i, 2);
        }
        return out;
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
        {"AKI with colons", "a2030", details([&](auto& u) { u.aki = {withColons(aki("A"))}; }),
         false},
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

TEST_F(CertificateSelectionTest, CandidateTestDescribesMissingValuesAndEmptyAkiMatch) {
    isCandidate(*parsed("bare"), jane({}));
    isCandidate(*parsed("noKeyUsage"), jane({}));
    EXPECT_EQ(selectionLog(), (std::vector<std::string>{
                                  "DEBUG Next certificate has name = Jane Citizen, email = <nil>, "
                                  "ABN = <nil>, AKI = <nil>, isSigningCert = false",
                                  "DEBUG Next certificate has name = Jane Citizen, email = "
                                  "jane@example.com, ABN = 51824753556, AKI = " +
                                      aki("A") + ", isSigningCert = true",
                                  "DEBUG Next certificate is a signing certificate that matches "
                                  "on name, email and ABN"}));
}

TEST_F(CertificateSelectionTest, SelectsByAkiPriorityThenLatestExpiry) {
    const std::string match = "INFO Found certificate match";
    const std::string later = "INFO Found certificate match with a later expiry date";
    const struct {
        const char* label;
        std::vector<std::string> akis;
        std::vector<std::string> system, token;
        std::string winner;  // empty: an error
        std::int64_t errorCode;
        std::vector<std::string> foundLines;
    } cases[] = {
        {"later expiry found second", {"A"}, {"a2030", "a2032"}, {}, "a2032", 0, {match, later}},
        {"later expiry found first", {"A"}, {"a2032", "a2030"}, {}, "a2032", 0, {match}},
        {"tie: key store before token", {"A"}, {"a2032twin"}, {"a2032"}, "a2032twin", 0, {match}},
        {"first AKI beats later expiry", {"A", "B"}, {"b2035", "a2030"}, {}, "a2030", 0, {match}},
        {"AKI order reversed", {"B", "A"}, {"a2030"}, {"b2035"}, "b2035", 0, {match}},
        {"first AKI has no carrier", {"B", "A"}, {"a2030"}, {}, "a2030", 0, {match}},
        {"undated ranks below dated", {"A"}, {"aUndated", "a2030"}, {}, "a2030", 0, {match, later}},
        {"dated not displaced by undated", {"A"}, {"a2030", "aUndated"}, {}, "a2030", 0, {match}},
        {"no identities", {"A"}, {}, {}, "", 102, {}},
        {"empty AKI list", {}, {"a2030"}, {}, "", 102, {}},
        {"expired winner, valid other", {"A", "B"}, {"b2035", "aExpired"}, {}, "", 107, {match}},
        {"later winner not yet valid", {"A"}, {"a2030", "aFuture"}, {}, "", 107, {match, later}},
        {"issuer without CN", {"NOCN"}, {"noIssuerCn"}, {}, "", 105, {match}},
    };
    ASSERT_FALSE(parsed("aUndated")->notAfter().has_value());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        startLog(std::string(c.label) + ".log");
        std::vector<std::string> akis;
        std::ranges::transform(c.akis, std::back_inserter(akis), aki);
        ListedKeyStore store(identities(c.system), identities(c.token));
        try {
            const auto selection = findSigningCertificate(jane(akis), store, "", testNow);
            EXPECT_EQ(c.winner, dynamic_cast<NamedKey&>(*selection.privateKey).name);
            EXPECT_EQ(c.winner, dynamic_cast<NamedCertificate&>(*selection.certificate).name);
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
        auto lines = infoLines();
        ASSERT_FALSE(lines.empty());
        lines.erase(lines.begin());  // the search line
        EXPECT_EQ(lines, c.foundLines);
    }
}

TEST_F(CertificateSelectionTest, ReportsDisplayValuesAndLogsDetailsOnlyWhenVerbose) {
    const std::string search =
        "INFO Searching for certificate with name = Jane Citizen, email = "
        "jane@example.com, ABN = 51824753556, AKI = [\"" +
        aki("A") + "\"]";
    for (const bool verbose : {true, false}) {
        startLog(verbose ? "verbose.log" : "quiet.log");
        host::setVerboseLogging(verbose);
        ListedKeyStore store(identities({"a2030"}), {});
        const auto selection = findSigningCertificate(jane({aki("A")}), store, "", testNow);
        EXPECT_EQ(selection.serial, "0a1b2c");
        EXPECT_EQ(selection.expiry, "2030-06-30T13:59:59.000Z");
        EXPECT_EQ(selection.issuer, "Kivo Test CA A");
        std::vector<std::string> expected = {search, "INFO Found certificate match"};
        if (verbose) {
            expected = {search,
                        "DEBUG Next certificate has name = Jane Citizen, email = jane@example.com, "
                        "ABN = 51824753556, AKI = " +
                            aki("A") + ", isSigningCert = true",
                        "DEBUG Next certificate is a signing certificate that matches on name, "
                        "email, ABN and AKI",
                        "INFO Found certificate match",
                        "DEBUG Certificate serial number = 0a1b2c",
                        "DEBUG Certificate not valid before date = 2024-01-01T00:00:00.000Z",
                        "DEBUG Certificate not valid after date = 2030-06-30T13:59:59.000Z",
                        "DEBUG Certificate Issuer CN = Kivo Test CA A"};
        }
        EXPECT_EQ(selectionLog(), expected) << (verbose ? "verbose" : "quiet");
    }
}

TEST_F(CertificateSelectionTest, SearchLineQuotesAndEscapesAkiEntries) {
    const struct {
        std::vector<std::string> akis;
        std::string rendered;
    } cases[] = {
        {{}, "[]"},
        {{"a\"b", "c\\d", "e\nf\tg\rh", std::string("\x01\0", 2), ""},
         R"(["a\"b", "c\\d", "e\nf\tg\rh", "\u0001\u0000", ""])"},
    };
    for (const auto& c : cases) {
        startLog("search.log");
        ListedKeyStore store({}, {});
        EXPECT_THROW(findSigningCertificate(jane(c.akis), store, "", testNow), SigningError);
        const auto lines = infoLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(),
                  "INFO Searching for certificate with name = Jane Citizen, email = "
                  "jane@example.com, ABN = 51824753556, AKI = " +
                      c.rendered);
        std::filesystem::remove(logPath_);
    }
}

TEST_F(CertificateSelectionTest, MissingRequestFieldsAreReportedInOrderBeforeAnySearch) {
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
    EXPECT_TRUE(selectionLog().empty());
}

TEST(FormatTimestampTest, WritesUtcSecondsWithFixedMilliseconds) {
    const std::pair<asn1::TimePoint, const char*> cases[] = {
        {sys_days{2027y / June / 30} + 13h + 59min + 59s + 999ms, "2027-06-30T13:59:59.000Z"},
        {sys_days{2028y / February / 29}, "2028-02-29T00:00:00.000Z"},
        {sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms, "1969-12-31T23:59:59.000Z"},
    };
    for (const auto& [instant, text] : cases) {
        EXPECT_EQ(formatTimestamp(instant), text);
    }
}

}  // namespace
}  // namespace kivo::certs
