#pragma once

// Real key stores for tests: SoftHSM2 tokens, NSS databases and a scripted pinentry, each in a
// folder the test owns. A process sees them through environment variables: apply
// `environment()` with ScopedEnvironment in the test process, or hand it to a host subprocess.
//
//   TempDir dir;
//   TestHome home(dir / "home");                 // HOME with a p11-kit config of its own
//   SoftHsm hsm(dir / "softhsm");                // SOFTHSM2_CONF
//   SoftHsmToken token = hsm.addToken("Alpha");
//   token.importIdentity(issued, "01");
//   NssDatabase nss(home.path());                // $HOME/.pki/nssdb
//   ScriptedPinentry pinentry(dir / "pinentry");  // KIVO_PINENTRY
//   pinentry.answer({PinAnswerScript::pin("1234")});
//   ScopedEnvironment env(mergedEnvironments({home.environment(), hsm.environment(),
//                                             pinentry.environment()}));

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestPki.h"

namespace kivo::testing {

Environment mergedEnvironments(const std::vector<Environment>& parts);

// Sets variables in this process for its lifetime, then restores what was there before.
class ScopedEnvironment {
  public:
    explicit ScopedEnvironment(const Environment& values);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A home folder whose p11-kit user configuration registers SoftHSM2 only. p11-kit ignores user
// configuration for root; test programs run where SoftHSM2 is the one registered module anyway
// (tests/CMakeLists.txt). Tests select their tokens by serial or label, never by count.
class TestHome {
  public:
    explicit TestHome(std::filesystem::path path);
    const std::filesystem::path& path() const { return path_; }
    // HOME and XDG_CONFIG_HOME.
    Environment environment() const;

  private:
    std::filesystem::path path_;
};

class SoftHsmToken {
  public:
    SoftHsmToken(std::filesystem::path configFile, std::string label, std::string userPin,
                 std::string serial)
        : configFile_(std::move(configFile)),
          label_(std::move(label)),
          userPin_(std::move(userPin)),
          serial_(std::move(serial)) {}

    const std::string& userPin() const { return userPin_; }
    // A text that only this token's PKCS#11 URI contains ("serial=<serial>").
    std::string uriFragment() const { return "serial=" + serial_; }

    // The private key and the certificate, both with CKA_ID `idHex`. `keyOptions` go to
    // pkcs11-tool with the key: {"--allowed-mechanisms", "RSA-PKCS"} or {"--always-auth"}, say.
    void importIdentity(const IssuedCertificate& certificate, const std::string& idHex,
                        const std::vector<std::string>& keyOptions = {}) const;
    // An X.509 certificate object holding `value` as it is (for contents no parser accepts),
    // padded with zero bytes to the size of `placeholder`, a certificate not otherwise in this
    // token: pkcs11-tool imports only what parses, so the placeholder's bytes are swapped.
    void importRawCertificate(const std::string& value, const IssuedCertificate& placeholder,
                              const std::string& idHex) const;

    // Sets the token's "user PIN locked" flag in its object file, as a token does after too
    // many wrong PINs (SoftHSM2 counts them but never locks).
    void lockUserPin() const;

  private:
    void writeObject(const std::filesystem::path& file, const std::string& type,
                     const std::string& idHex, const std::vector<std::string>& options = {}) const;

    std::filesystem::path configFile_;
    std::string label_;
    std::string userPin_;
    std::string serial_;
};

// A SoftHSM2 configuration and token folder of its own.
class SoftHsm {
  public:
    explicit SoftHsm(std::filesystem::path folder);

    static std::filesystem::path modulePath();

    SoftHsmToken addToken(const std::string& label, const std::string& userPin = "1234") const;
    // SOFTHSM2_CONF.
    Environment environment() const;

  private:
    std::filesystem::path folder_;
    std::filesystem::path configFile_;
};

// PKCS#11 modules registered with p11-kit for the programs run through launcher() only: they run
// in a private mount namespace where this folder stands in for the machine's module folders
// (tests/support/with-modules), so they see these modules and no others, as root too.
class RegisteredModules {
  public:
    explicit RegisteredModules(std::filesystem::path folder);
    // Registers `library` under `name`.
    void add(const std::string& name, const std::filesystem::path& library) const;
    // The command to put before a program and its arguments.
    std::vector<std::string> launcher() const;

  private:
    std::filesystem::path folder_;
};

// $home/.pki/nssdb, made with certutil; without a password unless one is given.
class NssDatabase {
  public:
    explicit NssDatabase(const std::filesystem::path& home,
                         std::optional<std::string> password = std::nullopt);
    // A database in `directory` itself (a Firefox profile folder, say).
    static NssDatabase inFolder(const std::filesystem::path& directory,
                                std::optional<std::string> password = std::nullopt);

    const std::filesystem::path& directory() const { return directory_; }
    // Key and certificate from a PKCS#12 file made of them, under the nickname `nickname`.
    void importPkcs12(const IssuedCertificate& certificate, const std::string& nickname) const;
    // Registers the PKCS#11 module `library` in the database's pkcs11.txt with modutil.
    void registerModule(const std::string& name, const std::filesystem::path& library) const;

  private:
    struct Made {};
    NssDatabase(Made, std::filesystem::path directory) : directory_(std::move(directory)) {}
    std::string passwordFile() const { return directory_.string() + "-password"; }

    std::filesystem::path directory_;
};

// A Firefox folder (~/.mozilla/firefox or the Snap's or Flatpak's) whose profiles.ini lists
// the profiles added, each with an NSS database made with certutil.
class FirefoxProfiles {
  public:
    explicit FirefoxProfiles(std::filesystem::path root);

    // Adds [ProfileN] Name=`name` Path=`folder` (relative); `installDefault` also makes it the
    // Default of an [Install...] section.
    NssDatabase addProfile(const std::string& name, const std::string& folder,
                           bool installDefault = false,
                           std::optional<std::string> password = std::nullopt);
    // Lists a profile whose folder holds no database.
    std::filesystem::path addEmptyProfile(const std::string& name, const std::string& folder);

  private:
    void listProfile(const std::string& name, const std::string& folder, bool installDefault);

    std::filesystem::path root_;
    std::string sections_;
    int count_ = 0;
};

// One scripted answer to a dialog: a PIN for GETPIN, a yes for CONFIRM, or either's failures.
struct PinAnswerScript {
    std::string line;
    // Sent as it is: test PINs hold no '%' and no control character, which Assuan escapes.
    static PinAnswerScript pin(const std::string& pin) { return {"pin " + pin}; }
    static PinAnswerScript confirm() { return {"confirm"}; }
    static PinAnswerScript cancel() { return {"cancel"}; }
    // Keeps the dialog open until it is killed, after writing its pid to the FIFO "held".
    static PinAnswerScript hold() { return {"hold"}; }
};

// One dialog the pinentry showed: "GETPIN" or "CONFIRM", and its description, unescaped.
struct PinentryDialog {
    std::string kind;
    std::string description;
};

// The test-owned pinentry (tests/support/scripted-pinentry): answers each GETPIN or CONFIRM with
// the next scripted answer, across runs, and records every command it receives.
class ScriptedPinentry {
  public:
    explicit ScriptedPinentry(std::filesystem::path folder);

    // Replaces the answers still to come and forgets earlier questions.
    void answer(const std::vector<PinAnswerScript>& answers) const;
    // How many dialogs (GETPIN or CONFIRM) were shown.
    int questionsAsked() const;
    // The dialogs shown since the last answer(), in order.
    std::vector<PinentryDialog> dialogs() const;
    // Every command line received, in order, over all runs.
    std::vector<std::string> commands() const;
    // KIVO_PINENTRY and the script's control folder.
    Environment environment() const;

  private:
    std::filesystem::path folder_;
};

// The usual signing set-up in one folder: the committed CA; on the SoftHSM2 token "Kivo Tests"
// (PIN 90817263, which no log line could hold by chance) Jane's identity and John's (his key
// allows RSA-PKCS only: the token signs a DigestInfo made on the host); Nora's in a password-less
// ~/.pki/nssdb; and the scripted pinentry, answering every dialog with the token's PIN until told
// otherwise. `empty` leaves out the token and the database; Mary's certificate is for tests that
// place it themselves.
struct SigningFixture {
    enum class Contents { empty, signers };
    explicit SigningFixture(Contents contents = Contents::signers);
    // HOME (the fixture's), the token configuration and the pinentry.
    Environment environment() const;

    TempDir dir;
    TestCa ca = committedCa("ca");
    IssuedCertificate jane = committedCertificate("jane"), john = committedCertificate("john"),
                      mary = committedCertificate("mary"), nora = committedCertificate("nora");
    TestHome home{dir / "home"};
    SoftHsm hsm{dir / "softhsm"};
    ScriptedPinentry pinentry{dir / "pinentry"};
    std::optional<SoftHsmToken> token;
};

// One filled fixture per test program, made on first use: token set-up is the slow part.
SigningFixture& signingFixture();

}  // namespace kivo::testing
