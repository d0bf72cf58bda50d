// Key search and signing on real stores: SoftHSM2 tokens, an NSS database and the scripted
// pinentry, all applied to this process's environment and log while a test runs.

#include "platform/Pkcs11KeyStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "HostClient.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSelection.h"
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
    IssuedCertificate jane = issue("Jane Citizen", "jane");
    IssuedCertificate john = issue("John Citizen", "john");
    IssuedCertificate mary = issue("Mary Citizen", "mary");
    // Jane again, with a certificate that expires sooner.
    IssuedCertificate janeEarlier = issue("Jane Citizen", "jane-earlier", "20311231235959Z");

    IssuedCertificate issue(const std::string& commonName, const std::string& name,
                            const std::string& notAfter = CertificateFields{}.notAfter) {
        CertificateFields wanted;
        wanted.commonName = commonName;
        wanted.notAfter = notAfter;
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
        std::vector<std::string> lines = linesOf(readFile(dir / "kivo-signing.log"));
        for (std::string& line : lines) {
            line.erase(0, 24);
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

std::string tokenLabel(const std::shared_ptr<foundation::PrivateKey>& key) {
    return dynamic_cast<const platform::Pkcs11PrivateKey&>(*key).token().label();
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
    EXPECT_EQ(tokenLabel(candidates[0].privateKey), "NSS database ~/.pki/nssdb");
    EXPECT_EQ(tokenLabel(candidates[1].privateKey), alphaFirst ? "Alpha" : "Beta");
    EXPECT_EQ(tokenLabel(candidates[2].privateKey), alphaFirst ? "Beta" : "Alpha");
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
    // Jane's key is approved with the PIN; John's, on the token already logged in, asks for a
    // confirmation of its own.
    scene().pinentry.answer({PinAnswerScript::pin("2468"), PinAnswerScript::confirm()});
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
    EXPECT_EQ(scene().pinentry.questionsAsked(), 2);
    EXPECT_EQ(scene().pinentry.dialogs().at(1).kind, "CONFIRM");
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
        {"cancelled", {PinAnswerScript::cancel()}, "cancelled by the user", 1},
        {"wrong then right", {pin("1111"), pin("2468")}, std::nullopt, 2},
        {"wrong then cancelled",
         {pin("1111"), PinAnswerScript::cancel()},
         "cancelled by the user",
         2},
        {"three wrong",
         {pin("1111"), pin("2222"), pin("3333"), pin("2468")},
         "CKR_PIN_INCORRECT",
         3},
        {"pinentry hangs up", {PinAnswerScript::hangUp()}, "the pinentry program failed", 1},
        // The PIN is the approval: a dialog that cannot say what is signed must not ask.
        {"pinentry refuses the description",
         {PinAnswerScript::refuseDescription()},
         "the pinentry program failed",
         0},
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
        // Each question names the token and the signer; all but the first say the PIN was wrong.
        int errors = 0;
        for (const auto& command : scene().pinentry.commands()) {
            if (command.starts_with("SETDESC ")) {
                EXPECT_EQ(command,
                          "SETDESC Enter the PIN of \"Signer Card\" to sign as Jane Citizen.");
            } else if (command.starts_with("SETERROR ")) {
                ++errors;
                EXPECT_TRUE(command.starts_with("SETERROR Wrong PIN.")) << command;
            }
            EXPECT_EQ(command.find("2468"), std::string::npos) << "the PIN went to pinentry";
        }
        EXPECT_EQ(errors, std::max(0, c.questions - 1));
    }
}

// Each store signs twice; the dialogs show which approval and logins it needed.
TEST(Pkcs11SigningStores, NssDatabasesAndKeysThatAskOnEveryUse) {
    const SharedPki& pki = sharedPki();
    const struct {
        const char* name;
        std::optional<std::string> nssPassword;  // none: a token key that asks on every use
        int questions;
    } cases[] = {
        // Nothing to log in to: a confirmation is the approval.
        {"NSS database without password", std::nullopt, 1},
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
        if (c.name == std::string("NSS database without password")) {
            scene.pinentry.answer({PinAnswerScript::confirm()});
        } else {
            scene.pinentry.answer({pin, pin, pin});
        }

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

// ---- The stores users already have: ~/.pki/nssdb, Firefox profiles and their modules. ----

struct VerboseLog {
    VerboseLog() { foundation::setVerboseLogging(true); }
    ~VerboseLog() { foundation::setVerboseLogging(false); }
};

std::filesystem::path firefoxRoot(const KeyStoreScene& scene) {
    return scene.home.path() / ".mozilla" / "firefox";
}

std::vector<std::string> linesStartingWith(const KeyStoreScene& scene, const std::string& prefix) {
    std::vector<std::string> lines = scene.logLines();
    std::erase_if(lines, [&](const std::string& line) { return !line.starts_with(prefix); });
    return lines;
}

constexpr const char* noTokens = "no token matches this";

// A new store's one identity outside tokens must be `commonName`'s and sign exactly as openssl does
// with the same key. Returns where the store found it.
std::string signWithOnlyIdentity(const KeyStoreScene& scene, const IssuedCertificate& certificate,
                                 const std::string& commonName) {
    Pkcs11KeyStore store(scene.options());
    const auto candidates = certs::collectCandidates(store, acceptAll, noTokens);
    EXPECT_EQ(commonNames(candidates), std::vector<std::string>{commonName});
    if (candidates.size() != 1) {
        return {};
    }
    const auto signature = foundation::signData(message, *candidates[0].privateKey,
                                                SignatureAlgorithm::rsaPkcs1Sha256);
    EXPECT_EQ(asText(signature), opensslSignature(scene.dir, certificate, "-sha256"));
    return tokenLabel(candidates[0].privateKey);
}

TEST(UserKeyStores, FirefoxProfileIdentityIsFoundAndSignsWithoutChangingTheDatabase) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const VerboseLog verbose;
    FirefoxProfiles firefox(firefoxRoot(scene));
    firefox.addProfile("default", "x1y2.default");
    const NssDatabase profile = firefox.addProfile("default-release", "abcd.default-release", true);
    profile.importPkcs12(pki.john, "john");
    const std::string certDb = readFile(profile.directory() / "cert9.db");
    const std::string keyDb = readFile(profile.directory() / "key4.db");

    // A password-less database: the confirmation is the one question.
    scene.pinentry.answer({PinAnswerScript::confirm()});
    EXPECT_EQ(signWithOnlyIdentity(scene, pki.john, "John Citizen"),
              "Firefox profile default-release");
    EXPECT_EQ(scene.pinentry.questionsAsked(), 1);
    EXPECT_EQ(readFile(profile.directory() / "cert9.db"), certDb);
    EXPECT_EQ(readFile(profile.directory() / "key4.db"), keyDb);
    // The install default first, then every profile listed; ~/.pki/nssdb before them all.
    const std::string root = firefoxRoot(scene).string();
    EXPECT_EQ(linesStartingWith(scene, "DEBUG Searching NSS database"),
              (std::vector<std::string>{
                  "DEBUG Searching NSS database " + (scene.home.path() / ".pki/nssdb").string(),
                  "DEBUG Searching NSS database " + root + "/abcd.default-release",
                  "DEBUG Searching NSS database " + root + "/x1y2.default"}));
    EXPECT_EQ(linesStartingWith(scene, "INFO"),
              (std::vector<std::string>{retrievingSystem, retrievingTokens,
                                        "INFO  Asking the user to approve signing",
                                        "INFO  User approved signing"}));
}

// Jane's certificates placed in ~/.pki/nssdb and a Firefox profile: each certificate counts
// once, and the latest expiry wins wherever it is kept.
TEST(UserKeyStores, ACertificateCountsOnceAndTheLatestExpiryWinsAcrossStores) {
    const SharedPki& pki = sharedPki();
    const struct {
        const char* name;
        const IssuedCertificate* inPkiNssdb;
        const IssuedCertificate* inFirefox;
        std::size_t candidates;
        const char* winnerStore;
    } cases[] = {
        {"same certificate in both", &pki.jane, &pki.jane, 1, "NSS database ~/.pki/nssdb"},
        {"later expiry in Firefox", &pki.janeEarlier, &pki.jane, 2,
         "Firefox profile default-release"},
        {"later expiry in ~/.pki/nssdb", &pki.jane, &pki.janeEarlier, 2,
         "NSS database ~/.pki/nssdb"},
    };
    const certs::UserDetails jane{std::vector<std::string>{pki.ca.subjectKeyIdHex}, "Jane Citizen",
                                  "51824753556", "jane@example.com"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeyStoreScene scene;
        NssDatabase(scene.home.path()).importPkcs12(*c.inPkiNssdb, "jane");
        FirefoxProfiles(firefoxRoot(scene))
            .addProfile("default-release", "abcd.default-release", true)
            .importPkcs12(*c.inFirefox, "jane");

        Pkcs11KeyStore store(scene.options());
        EXPECT_EQ(certs::collectCandidates(store, acceptAll, noTokens).size(), c.candidates);
        const auto selection = certs::findSigningCertificate(
            jane, store, noTokens, std::chrono::sys_days{std::chrono::year{2026} / 6 / 1});
        EXPECT_EQ(selection.expiry, "2039-12-31T23:59:59.000Z");
        EXPECT_EQ(tokenLabel(selection.privateKey), c.winnerStore);
    }
}

// SoftHSM2 stands in for a vendor's module. p11-kit already knows SoftHSM2's own file, so a copy
// of it is what only the databases' pkcs11.txt register.
TEST(UserKeyStores, ModulesRegisteredInTheDatabasesAreSearchedAndEachFileLoadedOnce) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const VerboseLog verbose;
    const SoftHsmToken card = scene.softHsm.addToken("Vendor Card");
    card.importIdentity(pki.mary, "03");
    const auto cardTokens = [&](Pkcs11KeyStore& store) {
        const auto ids = store.tokenIds();
        return std::count_if(ids.begin(), ids.end(), [&](const std::string& id) {
            return id.find(card.uriFragment()) != std::string::npos;
        });
    };
    long throughP11Kit = 0;
    {
        Pkcs11KeyStore store(scene.options());
        throughP11Kit = cardTokens(store);
    }
    const auto vendorModule = scene.dir / "vendor" / "libvendor-pkcs11.so";
    std::filesystem::create_directories(vendorModule.parent_path());
    std::filesystem::copy_file(SoftHsm::modulePath(), vendorModule);

    const NssDatabase pkiNssdb(scene.home.path());
    pkiNssdb.registerModule("SoftHSM", SoftHsm::modulePath());
    FirefoxProfiles firefox(firefoxRoot(scene));
    const NssDatabase release = firefox.addProfile("default-release", "a.default-release", true);
    release.registerModule("Vendor Card", vendorModule);
    const NssDatabase other = firefox.addProfile("work", "b.work");
    other.registerModule("Vendor Card again", vendorModule);
    other.registerModule("SoftHSM", SoftHsm::modulePath());

    Pkcs11KeyStore store(scene.options());
    EXPECT_EQ(cardTokens(store), throughP11Kit + 1);
    EXPECT_EQ(linesStartingWith(scene, "DEBUG Searching PKCS#11 module " + vendorModule.string()),
              std::vector<std::string>{"DEBUG Searching PKCS#11 module " + vendorModule.string() +
                                       " registered in " + release.directory().string()});
    // Mary's certificate is reachable through both copies of the module: one candidate.
    EXPECT_EQ(commonNames(certs::collectCandidates(store, acceptAll, card.uriFragment())),
              std::vector<std::string>{"Mary Citizen"});
}

TEST(UserKeyStores, PasswordOfAFirefoxProfileIsAskedThroughPinentryNamingTheProfile) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    FirefoxProfiles(firefoxRoot(scene))
        .addProfile("secure", "q9.secure", true, "ff-secret")
        .importPkcs12(pki.jane, "jane");
    scene.pinentry.answer({PinAnswerScript::pin("wrong"), PinAnswerScript::pin("ff-secret")});
    signWithOnlyIdentity(scene, pki.jane, "Jane Citizen");

    std::vector<std::string> asked;
    for (const auto& command : scene.pinentry.commands()) {
        if (command.starts_with("SETDESC ") || command.starts_with("SETPROMPT ") ||
            command.starts_with("SETERROR ")) {
            asked.push_back(command);
        }
        EXPECT_EQ(command.find("ff-secret"), std::string::npos) << command;
    }
    const std::string description =
        "SETDESC Enter the password of \"Firefox profile secure\" to sign as Jane Citizen.";
    EXPECT_EQ(asked, (std::vector<std::string>{description, "SETPROMPT Password:", description,
                                               "SETPROMPT Password:", "SETERROR Wrong password."}));
}

// Another process in the middle of writing a database, as a running Firefox is when it saves
// a certificate: a sqlite3 shell holding a write transaction open until its input is closed. It
// answers one framed message, "1", once the write lock is held.
std::unique_ptr<tools::HostProcess> writingProcess(const std::filesystem::path& database) {
    tools::HostOptions options;
    options.binary = "/bin/sh";
    options.arguments = {
        "-c",
        "(printf 'BEGIN IMMEDIATE;\\nSELECT 1;\\n'; cat) | sqlite3 -bail \"$0\" | "
        "{ read -r held; printf '\\001\\000\\000\\000%s' \"$held\"; cat >/dev/null; }",
        database.string()};
    return std::make_unique<tools::HostProcess>(options);
}

TEST(UserKeyStores, ADatabaseAnotherProcessIsWritingIsSearchedAndSignsWithoutWaiting) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const NssDatabase profile =
        FirefoxProfiles(firefoxRoot(scene)).addProfile("default-release", "r.default-release");
    profile.importPkcs12(pki.jane, "jane");
    const auto certificates = writingProcess(profile.directory() / "cert9.db");
    const auto keys = writingProcess(profile.directory() / "key4.db");
    ASSERT_EQ(certificates->readMessage(std::chrono::seconds(60)), "1");
    ASSERT_EQ(keys->readMessage(std::chrono::seconds(60)), "1");
    scene.pinentry.answer({PinAnswerScript::confirm()});
    signWithOnlyIdentity(scene, pki.jane, "Jane Citizen");
}

TEST(UserKeyStores, BrokenProfilesAreSkippedWithALogLineAndTheSearchGoesOn) {
    const SharedPki& pki = sharedPki();
    KeyStoreScene scene;
    const VerboseLog verbose;
    FirefoxProfiles firefox(firefoxRoot(scene));
    const auto empty = firefox.addEmptyProfile("never-started", "e.never-started");
    const auto corrupt = firefox.addEmptyProfile("corrupt", "c.corrupt");
    writeFile(corrupt / "cert9.db", std::string(4096, 'x'));
    writeFile(corrupt / "key4.db", std::string(4096, 'x'));
    const auto halfCopied = firefox.addEmptyProfile("half-copied", "h.half-copied");
    NssDatabase::inFolder(scene.dir / "complete").importPkcs12(pki.mary, "mary");
    std::filesystem::copy_file(scene.dir / "complete" / "cert9.db", halfCopied / "cert9.db");
    // Quotes, brackets and a backslash in the folder name must survive the softoken's quoting.
    firefox.addProfile("default-release", "g.it's [1] <x> \\ y").importPkcs12(pki.john, "john");

    Pkcs11KeyStore store(scene.options());
    EXPECT_EQ(commonNames(certs::collectCandidates(store, acceptAll, noTokens)),
              std::vector<std::string>{"John Citizen"});
    const auto errors = linesStartingWith(scene, "ERROR");
    ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(scene.logLines());
    EXPECT_EQ(errors[0],
              "ERROR Cannot open NSS database " + corrupt.string() + " (CKR_NSS_CERTDB_FAILED)");
    EXPECT_EQ(errors[1],
              "ERROR Cannot open NSS database " + halfCopied.string() + " (CKR_NSS_KEYDB_FAILED)");
    EXPECT_EQ(linesStartingWith(scene, "DEBUG No NSS database"),
              (std::vector<std::string>{"DEBUG No NSS database (cert9.db) in " +
                                            (scene.home.path() / ".pki/nssdb").string(),
                                        "DEBUG No NSS database (cert9.db) in " + empty.string()}));
}

}  // namespace
}  // namespace kivo::testing
