// Key search and signing on real stores: SoftHSM2 tokens, NSS databases and the scripted
// pinentry, all applied to this process's environment and log while a test runs.

#include "platform/Pkcs11KeyStore.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "HostClient.h"
#include "asn1/X509Certificate.h"
#include "certs/CertificateSources.h"
#include "foundation/SigningError.h"
#include "platform/Pkcs11PrivateKey.h"
#include "support/KeyStoreFixtures.h"
#include "support/ScopedLog.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

using foundation::SignatureAlgorithm;
using platform::Pkcs11KeyStore;
using Names = std::vector<std::string>;

Pkcs11KeyStore newStore() {
    return Pkcs11KeyStore(platform::defaultKeyStoreOptions());
}

// An empty fixture applied to this process's environment and log while it lives; verbose when
// asked.
struct KeyStoreScene : SigningFixture {
    explicit KeyStoreScene(bool verbose = false) : SigningFixture(Contents::empty), log(verbose) {}

    // "LEVEL message" of the lines starting with `prefix`, the timestamp removed.
    Names logLines(const std::string& prefix = "") const {
        Names lines;
        for (const std::string& line : linesOf(log.text())) {
            if (line.substr(24).starts_with(prefix)) {
                lines.push_back(line.substr(24));
            }
        }
        return lines;
    }
    std::filesystem::path firefox() const { return home.path() / ".mozilla" / "firefox"; }

    ScopedLog log;
    ScopedEnvironment scoped{environment()};
};

constexpr const char* noTokens = "no token matches this";
const auto acceptAll = [](const asn1::X509Certificate&) { return true; };

Names commonNames(const std::vector<certs::Candidate>& candidates) {
    Names names;
    for (const auto& candidate : candidates) {
        names.push_back(
            candidate.parsedCertificate->subjectValue(asn1::ASN1DistinguishedNames::commonName)
                .value_or("<nil>"));
    }
    return names;
}

std::string tokenLabel(const std::shared_ptr<foundation::PrivateKey>& key) {
    return dynamic_cast<const platform::Pkcs11PrivateKey&>(*key).token().label();
}

const std::string message = "<SignedInfo/>";

// RSASSA-PKCS1-v1_5 is deterministic: every store must give exactly openssl's bytes.
void expectSignsLikeOpenssl(foundation::PrivateKey& key, const IssuedCertificate& certificate,
                            SignatureAlgorithm algorithm = SignatureAlgorithm::rsaPkcs1Sha256) {
    static const char* const digests[] = {"-sha1", "-sha256", "-sha512"};
    const TempDir dir;
    writeFile(dir / "message", message);
    const foundation::Bytes signature =
        foundation::signData(foundation::byteView(message), key, algorithm);
    EXPECT_EQ(std::string(signature.begin(), signature.end()),
              runProgram({"openssl", "dgst", digests[static_cast<int>(algorithm)], "-sign",
                          certificate.keyPem.string(), (dir / "message").string()}));
}

// A new store's one identity (outside tokens unless `classId` names one) must be `certificate`'s
// and sign as openssl does, twice. Returns where the store found it.
std::string signWithOnlyIdentity(const IssuedCertificate& certificate,
                                 const std::string& classId = noTokens) {
    Pkcs11KeyStore store = newStore();
    const auto candidates = certs::collectCandidates(store, acceptAll, classId);
    EXPECT_EQ(candidates.size(), 1u);
    if (candidates.size() != 1) {
        return {};
    }
    expectSignsLikeOpenssl(*candidates[0].privateKey, certificate);
    expectSignsLikeOpenssl(*candidates[0].privateKey, certificate);
    return tokenLabel(candidates[0].privateKey);
}

// Jane's certificate, in ~/.pki/nssdb and in a Firefox profile, counts once; which of several
// certificates wins is the certificate choice's own test (tests/certs).
TEST(Pkcs11KeyStore, SystemStoreFirstThenMatchingTokensInSlotOrder) {
    KeyStoreScene scene;
    NssDatabase(scene.home.path()).importPkcs12(scene.jane, "jane");
    FirefoxProfiles(scene.firefox())
        .addProfile("default-release", "abcd.default-release", true)
        .importPkcs12(scene.jane, "jane");
    const SoftHsmToken alpha = scene.hsm.addToken("Alpha");
    const SoftHsmToken beta = scene.hsm.addToken("Beta");
    alpha.importIdentity(scene.john, "01");
    beta.importIdentity(scene.mary, "02");

    Pkcs11KeyStore store = newStore();
    const std::string softHsmTokens = "model=SoftHSM%20v2";
    const auto candidates = certs::collectCandidates(store, acceptAll, softHsmTokens);
    // Tokens come in the module's slot order, which SoftHSM2 derives from the serials.
    Names ids = store.tokenIds();
    std::erase_if(ids, [&](const auto& id) { return id.find(softHsmTokens) == std::string::npos; });
    ASSERT_EQ(ids.size(), 2u);
    const bool alphaFirst = ids[0].find(alpha.uriFragment()) != std::string::npos;
    EXPECT_EQ(commonNames(candidates),
              (Names{"Jane Citizen", alphaFirst ? "John Citizen" : "Mary Citizen",
                     alphaFirst ? "Mary Citizen" : "John Citizen"}));
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(tokenLabel(candidates[0].privateKey), "NSS database ~/.pki/nssdb");
    EXPECT_EQ(tokenLabel(candidates[1].privateKey), alphaFirst ? "Alpha" : "Beta");
    EXPECT_EQ(scene.logLines(),
              (Names{"INFO  Retrieving matching certificates from system KeyChain",
                     "INFO  Retrieving matching certificates from any smartcard tokens"}));
    // Only tokens whose id contains the class id are searched.
    EXPECT_EQ(commonNames(certs::collectCandidates(store, acceptAll, alpha.uriFragment())),
              (Names{"Jane Citizen", "John Citizen"}));
}

// The shared fixture's token; each case makes its own store, so logins do not carry over.
class Pkcs11Signing : public ::testing::Test {
  protected:
    // The key of the token's identity `commonName` in `store`.
    std::shared_ptr<foundation::PrivateKey> keyOf(Pkcs11KeyStore& store,
                                                  const std::string& commonName) const {
        for (const auto& candidate :
             certs::collectCandidates(store, acceptAll, fixture.token->uriFragment())) {
            if (commonNames({candidate})[0] == commonName) {
                return candidate.privateKey;
            }
        }
        ADD_FAILURE() << "no key for " << commonName;
        return nullptr;
    }

    SigningFixture& fixture = signingFixture();
    ScopedEnvironment scoped{fixture.environment()};
};

// Also covers the CKM_RSA_PKCS path: John's key allows nothing else, so the digest is made on
// the host and the token signs the DigestInfo.
TEST_F(Pkcs11Signing, SignsLikeOpensslWithEveryAlgorithmAlsoThroughRawRsa) {
    Pkcs11KeyStore store = newStore();
    const auto jane = keyOf(store, "Jane Citizen");
    const auto john = keyOf(store, "John Citizen");
    ASSERT_TRUE(jane && john);
    // Jane's key is approved with the PIN; John's, on the token already logged in, asks for a
    // confirmation of its own.
    fixture.pinentry.answer(
        {PinAnswerScript::pin(fixture.token->userPin()), PinAnswerScript::confirm()});
    for (const auto algorithm :
         {SignatureAlgorithm::rsaPkcs1Sha1, SignatureAlgorithm::rsaPkcs1Sha256,
          SignatureAlgorithm::rsaPkcs1Sha512}) {
        expectSignsLikeOpenssl(*jane, fixture.jane, algorithm);
        expectSignsLikeOpenssl(*john, fixture.john, algorithm);
    }
    // The login lasts for the store's life: one PIN for six signatures.
    EXPECT_EQ(fixture.pinentry.questionsAsked(), 2);
    EXPECT_EQ(fixture.pinentry.dialogs().at(1).kind, "CONFIRM");
}

TEST_F(Pkcs11Signing, WrongPinsAreAskedAgainUpToThreeTimes) {
    for (const auto& c : testCases("platform/stores.json", "wrong PINs")) {
        SCOPED_TRACE(c.dump());
        std::vector<PinAnswerScript> answers;
        for (const std::string line : c[0]) {
            answers.push_back({line});
        }
        const int questions = c[2];
        Pkcs11KeyStore store = newStore();  // a new store: not logged in
        const auto jane = keyOf(store, "Jane Citizen");
        ASSERT_TRUE(jane);
        fixture.pinentry.answer(answers);
        try {
            foundation::signData(foundation::byteView(message), *jane,
                                 SignatureAlgorithm::rsaPkcs1Sha256);
            EXPECT_TRUE(c[1].is_null()) << "signed";
        } catch (const foundation::SigningError& error) {
            EXPECT_EQ(error.message(), c[1]);
        }
        // Each question (or the one refused) names the token and the signer; all but the first
        // say the PIN was wrong (and how many tries are left).
        const std::string description =
            "SETDESC Enter the PIN of \"Kivo Tests\" to sign as Jane Citizen.";
        Names expected{description}, asked;
        for (int i = 1; i < questions; ++i) {
            expected.insert(expected.end(), {description, "SETERROR Wrong PIN."});
        }
        for (const std::string& command : fixture.pinentry.commands()) {
            if (command.starts_with("SETDESC") || command.starts_with("SETERROR")) {
                asked.push_back(
                    command.substr(0, command.starts_with("SETERROR") ? 19 : std::string::npos));
            }
        }
        EXPECT_EQ(asked, expected);
    }
}

// The token login once, then the key's own PIN for each signature.
TEST(Pkcs11SigningStores, AKeyThatAsksOnEveryUseTakesItsPinForEachSignature) {
    KeyStoreScene scene;
    const SoftHsmToken token = scene.hsm.addToken("Qualified Card", "2468");
    token.importIdentity(scene.jane, "01", {"--always-auth"});
    scene.pinentry.answer(std::vector(3, PinAnswerScript::pin("2468")));
    EXPECT_EQ(signWithOnlyIdentity(scene.jane, token.uriFragment()), "Qualified Card");
    EXPECT_EQ(scene.pinentry.questionsAsked(), 3);
}

// ---- The stores users already have: ~/.pki/nssdb, Firefox profiles and their modules. ----

// A wrong password is asked again, each time naming the profile; the login lasts for the store's
// life; the database is not changed.
TEST(UserKeyStores, FirefoxProfileIdentitySignsAfterItsPasswordWithoutChangingTheDatabase) {
    KeyStoreScene scene;
    FirefoxProfiles firefox(scene.firefox());
    firefox.addProfile("default", "x1y2.default");
    const NssDatabase profile = firefox.addProfile("secure", "q9.secure", true, "ff-secret");
    profile.importPkcs12(scene.john, "john");
    const std::string certDb = readFile(profile.directory() / "cert9.db");
    const std::string keyDb = readFile(profile.directory() / "key4.db");
    scene.pinentry.answer({PinAnswerScript::pin("wrong"), PinAnswerScript::pin("ff-secret")});

    EXPECT_EQ(signWithOnlyIdentity(scene.john), "Firefox profile secure");
    EXPECT_EQ(readFile(profile.directory() / "cert9.db"), certDb);
    EXPECT_EQ(readFile(profile.directory() / "key4.db"), keyDb);
    Names asked = scene.pinentry.commands();
    std::erase_if(asked, [](const std::string& command) {
        EXPECT_EQ(command.find("ff-secret"), std::string::npos) << command;
        return !command.starts_with("SETDESC ") && !command.starts_with("SETPROMPT ") &&
               !command.starts_with("SETERROR ");
    });
    const std::string description =
        "SETDESC Enter the password of \"Firefox profile secure\" to sign as John Citizen.";
    EXPECT_EQ(asked, (Names{description, "SETPROMPT Password:", description,
                            "SETPROMPT Password:", "SETERROR Wrong password."}));
}

// SoftHSM2 stands in for a vendor's module. p11-kit already knows SoftHSM2's own file, so a copy
// of it is what only the databases' pkcs11.txt register.
TEST(UserKeyStores, ModulesRegisteredInTheDatabasesAreSearchedAndEachFileLoadedOnce) {
    KeyStoreScene scene(/*verbose=*/true);
    const SoftHsmToken card = scene.hsm.addToken("Vendor Card");
    card.importIdentity(scene.mary, "03");
    const auto cardTokens = [&](Pkcs11KeyStore& store) {
        const auto ids = store.tokenIds();
        return std::ranges::count_if(ids, [&](const std::string& id) {
            return id.find(card.uriFragment()) != std::string::npos;
        });
    };
    Pkcs11KeyStore beforehand = newStore();
    const auto throughP11Kit = cardTokens(beforehand);
    const auto vendorModule = scene.dir / "vendor" / "libvendor-pkcs11.so";
    std::filesystem::create_directories(vendorModule.parent_path());
    std::filesystem::copy_file(SoftHsm::modulePath(), vendorModule);

    NssDatabase(scene.home.path()).registerModule("SoftHSM", SoftHsm::modulePath());
    FirefoxProfiles firefox(scene.firefox());
    const NssDatabase release = firefox.addProfile("default-release", "a.default-release", true);
    release.registerModule("Vendor Card", vendorModule);
    const NssDatabase other = firefox.addProfile("work", "b.work");
    other.registerModule("Vendor Card again", vendorModule);
    other.registerModule("SoftHSM", SoftHsm::modulePath());

    Pkcs11KeyStore store = newStore();
    EXPECT_EQ(cardTokens(store), throughP11Kit + 1);
    const std::string searching = "DEBUG Searching PKCS#11 module " + vendorModule.string();
    EXPECT_EQ(scene.logLines(searching),
              Names{searching + " registered in " + release.directory().string()});
    // Mary's certificate is reachable through both copies of the module: one candidate.
    EXPECT_EQ(commonNames(certs::collectCandidates(store, acceptAll, card.uriFragment())),
              Names{"Mary Citizen"});
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

// Broken profiles are skipped with a log line, and one another process is writing is searched
// and signs without waiting.
TEST(UserKeyStores, BrokenAndBusyProfilesDoNotStopTheSearch) {
    KeyStoreScene scene(/*verbose=*/true);
    FirefoxProfiles firefox(scene.firefox());
    const auto empty = firefox.addEmptyProfile("never-started", "e.never-started");
    const auto corrupt = firefox.addEmptyProfile("corrupt", "c.corrupt");
    writeFile(corrupt / "cert9.db", std::string(4096, 'x'));
    writeFile(corrupt / "key4.db", std::string(4096, 'x'));
    const auto halfCopied = firefox.addEmptyProfile("half-copied", "h.half-copied");
    NssDatabase::inFolder(scene.dir / "complete").importPkcs12(scene.mary, "mary");
    std::filesystem::copy_file(scene.dir / "complete" / "cert9.db", halfCopied / "cert9.db");
    // Quotes, brackets and a backslash in the folder name must survive the softoken's quoting.
    const NssDatabase busy = firefox.addProfile("default-release", "g.it's [1] <x> \\ y");
    busy.importPkcs12(scene.john, "john");
    const auto certificates = writingProcess(busy.directory() / "cert9.db");
    const auto keys = writingProcess(busy.directory() / "key4.db");
    ASSERT_EQ(certificates->readMessage(std::chrono::seconds(60)), "1");
    ASSERT_EQ(keys->readMessage(std::chrono::seconds(60)), "1");
    scene.pinentry.answer({PinAnswerScript::confirm()});

    signWithOnlyIdentity(scene.john);
    EXPECT_EQ(
        scene.logLines("ERROR"),
        (Names{
            "ERROR Cannot open NSS database " + corrupt.string() + " (CKR_NSS_CERTDB_FAILED)",
            "ERROR Cannot open NSS database " + halfCopied.string() + " (CKR_NSS_KEYDB_FAILED)"}));
    EXPECT_EQ(
        scene.logLines("DEBUG No NSS database"),
        (Names{"DEBUG No NSS database (cert9.db) in " + (scene.home.path() / ".pki/nssdb").string(),
               "DEBUG No NSS database (cert9.db) in " + empty.string()}));
}

}  // namespace
}  // namespace kivo::testing
