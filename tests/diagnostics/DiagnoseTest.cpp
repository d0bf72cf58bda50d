// kivo-signing-host --diagnose --json run on worlds the fixtures build: a home with browsers on
// PATH, manifests, NSS databases, SoftHSM2 tokens and a pinentry, each world spoiled in one way.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "HostClient.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// A GeneralizedTime `days` from now.
std::string daysFromNow(int days) {
    const std::time_t when = std::time(nullptr) + days * 86400;
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return text;
}

struct Pki {
    TempDir dir;
    TestCa ca = makeCa(dir.path(), "Kivo Diagnostics CA");
    std::map<std::string, IssuedCertificate> issued;

    Pki() {
        const auto issue = [&](const std::string& name, const std::string& notAfter) {
            CertificateFields fields;
            fields.notAfter = notAfter;
            issued[name] = issueCertificate(dir.path(), ca, fields, name);
        };
        issue("jane", "20391231235959Z");
        issue("jane-earlier", "20331231235959Z");
        issue("jane-expired", "20250101000000Z");
        issue("jane-expiring", daysFromNow(10));
    }
};

struct Outcome {
    int status = -1;
    json report;

    // The lines of a section whose facts hold every key and value of `wanted`.
    std::vector<json> lines(const std::string& section, const json& wanted) const {
        std::vector<json> found;
        for (const json& line : report["sections"][section]) {
            bool matches = true;
            for (const auto& [key, value] : wanted.items()) {
                matches = matches && line.contains(key) && line[key] == value;
            }
            if (matches) {
                found.push_back(line);
            }
        }
        return found;
    }
    json line(const std::string& section, const json& wanted) const {
        const auto found = lines(section, wanted);
        EXPECT_EQ(found.size(), 1u) << wanted.dump() << "\n" << report.dump(1);
        return found.empty() ? json::object() : found.front();
    }
};

// A user with Firefox on PATH, its manifest naming this host, a graphical pinentry, and the
// signer Jane in a password-less NSS database. Each world changes it in one way.
class World {
  public:
    explicit World(const Pki& pki) : pki_(pki) {
        for (const char* program : {"firefox", "pinentry-gnome3"}) {
            writeFile(bin_ / program, "#!/bin/sh\nexit 0\n");
            fs::permissions(bin_ / program, fs::perms::owner_all);
        }
        writeManifest(KIVO_HOST_BINARY, "real@kivo.example");
        environment_ =
            mergedEnvironments({home_.environment(),
                                hsm_.environment(),
                                {{"PATH", bin_.string()},
                                 {"KIVO_PINENTRY", (bin_ / "pinentry-gnome3").string()},
                                 {"FLATPAK_USER_DIR", (dir_ / "flatpak-user").string()},
                                 {"FLATPAK_SYSTEM_DIR", (dir_ / "flatpak-system").string()},
                                 {"KIVO_SNAP_DIR", (dir_ / "snap").string()},
                                 {"XDG_DATA_DIRS", (dir_ / "share").string()}}});
    }

    const fs::path& home() const { return home_.path(); }
    const fs::path& folder() const { return dir_.path(); }
    const fs::path& bin() const { return bin_; }
    SoftHsm& hsm() { return hsm_; }
    Environment& environment() { return environment_; }
    const IssuedCertificate& certificate(const std::string& name) const {
        return pki_.issued.at(name);
    }

    void writeManifest(const std::string& host, const std::string& allowed) const {
        const json manifest = {{"name", "com.kivo.signing"},
                               {"description", "test"},
                               {"path", host},
                               {"type", "stdio"},
                               {"allowed_extensions", {allowed}}};
        writeFile(manifestFile(), manifest.dump());
    }
    fs::path manifestFile() const {
        return home_.path() / ".mozilla/native-messaging-hosts/com.kivo.signing.json";
    }
    void withNssIdentities(const std::vector<std::string>& names,
                           std::optional<std::string> password = std::nullopt) {
        const NssDatabase nss(home_.path(), std::move(password));
        for (const std::string& name : names) {
            nss.importPkcs12(pki_.issued.at(name), name);
        }
    }

    Outcome diagnose(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments{
            "--diagnose",       "--json", "--name",      "Jane Citizen", "--email",
            "jane@example.com", "--abn",  "51824753556", "--aki",        pki_.ca.subjectKeyIdHex};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        tools::HostOptions options;
        options.binary = KIVO_HOST_BINARY;
        options.arguments = arguments;
        options.environment = environment_;
        options.unsetVariables = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                  "KIVO_VERBOSE_LOGGING"};
        options.stderrPath = (dir_ / "stderr.txt").string();
        tools::HostProcess host(options);
        host.closeInput();
        const std::string output = host.readRemainingOutput(120s);
        Outcome outcome;
        outcome.status = host.waitForExit(60s).value_or(-1);
        outcome.report = json::parse(output, nullptr, false);
        EXPECT_TRUE(outcome.report.is_object()) << output;
        return outcome;
    }

  private:
    const Pki& pki_;
    TempDir dir_;
    TestHome home_{dir_ / "home"};
    SoftHsm hsm_{dir_ / "softhsm"};
    fs::path bin_ = dir_ / "bin";
    Environment environment_;
};

class Diagnose : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki_ = std::make_unique<Pki>(); }
    static void TearDownTestSuite() { pki_.reset(); }
    static std::unique_ptr<Pki> pki_;
};

std::unique_ptr<Pki> Diagnose::pki_;

std::string blockerText(const Outcome& outcome) {
    std::string text;
    for (const json& blocker : outcome.report["blockers"]) {
        text += blocker.value("problem", "") + "\n";
    }
    return text;
}

TEST_F(Diagnose, EachWorldGetsItsVerdict) {
    const struct {
        const char* label;
        std::function<void(World&)> build;
        bool ready;
        const char* blocker;  // a part of the one blocker's problem when not ready
        std::function<void(const Outcome&)> check;
    } worlds[] = {
        {"healthy", [](World& w) { w.withNssIdentities({"jane"}); }, true, "",
         [](const Outcome& o) {
             const json manifest = o.line("browsers", {{"check", "manifest"}, {"scope", "user"}});
             EXPECT_TRUE(manifest["this_host"]);
             EXPECT_TRUE(manifest["used"]);
             EXPECT_EQ(manifest["allowed"], json({"real@kivo.example"}));
             EXPECT_EQ(o.line("identities", {{"check", "identity"}})["verdict"], "chosen");
             EXPECT_EQ(o.line("approval", {{"check", "pinentry"}})["flavour"], "gnome3");
             const json database =
                 o.line("key_stores", {{"check", "nss_database"}, {"state", "opened"}});
             EXPECT_EQ(database["password_protected"], false);
             EXPECT_EQ(database["identities"], 1);
         }},
        {"no manifest",
         [](World& w) {
             w.withNssIdentities({"jane"});
             fs::remove(w.manifestFile());
         },
         false, "Firefox finds no manifest",
         [](const Outcome& o) {
             EXPECT_EQ(o.line("browsers", {{"check", "manifest"}, {"scope", "user"}})["present"],
                       false);
         }},
        {"manifest naming a missing host",
         [](World& w) {
             w.withNssIdentities({"jane"});
             w.writeManifest("/nonexistent/kivo-signing-host", "real@kivo.example");
         },
         false, "which does not exist",
         [](const Outcome& o) {
             EXPECT_EQ(o.line("browsers", {{"check", "manifest"}, {"scope", "user"}})["mark"],
                       "problem");
         }},
        {"placeholder extension id",
         [](World& w) {
             w.withNssIdentities({"jane"});
             w.writeManifest(KIVO_HOST_BINARY, "signing@kivo.example");
         },
         true, "",
         [](const Outcome& o) {
             const json manifest = o.line("browsers", {{"check", "manifest"}, {"scope", "user"}});
             EXPECT_EQ(manifest["mark"], "warning");
             EXPECT_EQ(manifest["placeholders"], json({"signing@kivo.example"}));
         }},
        {"expired certificate", [](World& w) { w.withNssIdentities({"jane-expired"}); }, false,
         "107 Signing certificate has expired",
         [](const Outcome& o) {
             const json identity = o.line("identities", {{"check", "identity"}});
             EXPECT_EQ(identity["flags"], json({"expired"}));
             EXPECT_EQ(identity["mark"], "problem");
         }},
        {"expiring certificate", [](World& w) { w.withNssIdentities({"jane-expiring"}); }, true, "",
         [](const Outcome& o) {
             const json identity = o.line("identities", {{"check", "identity"}});
             EXPECT_EQ(identity["flags"], json({"expiring_soon"}));
             EXPECT_TRUE(identity["days_left"] == 9 || identity["days_left"] == 10);
         }},
        {"two matching identities",
         [](World& w) {
             w.withNssIdentities({"jane-earlier", "jane"});
         },
         true, "",
         [](const Outcome& o) {
             const json earlier =
                 o.line("identities", {{"check", "identity"}, {"verdict", "earlier_expiry"}});
             EXPECT_EQ(earlier["not_after"], "2033-12-31T23:59:59.000Z");
             const json chosen =
                 o.line("identities", {{"check", "identity"}, {"verdict", "chosen"}});
             EXPECT_EQ(chosen["not_after"], "2039-12-31T23:59:59.000Z");
         }},
        {"locked token",
         [](World& w) {
             const SoftHsmToken token = w.hsm().addToken("Locked Card");
             token.importIdentity(w.certificate("jane"), "01");
             token.lockUserPin();
         },
         false, "is locked",
         [](const Outcome& o) {
             const json token =
                 o.line("key_stores", {{"check", "token"}, {"label", "Locked Card"}});
             EXPECT_EQ(token["pin_locked"], true);
             EXPECT_EQ(token["mark"], "problem");
         }},
        {"no pinentry",
         [](World& w) {
             w.withNssIdentities({"jane"});
             w.environment().erase("KIVO_PINENTRY");
         },
         false, "No pinentry program",
         [](const Outcome& o) {
             const json pinentry = o.line("approval", {{"check", "pinentry"}});
             EXPECT_EQ(pinentry["wanted"], "pinentry");
             EXPECT_TRUE(pinentry["program"].is_null());
         }},
        {"only a terminal pinentry, behind a link",
         [](World& w) {
             w.withNssIdentities({"jane"});
             writeFile(w.bin() / "pinentry-curses", "#!/bin/sh\nexit 0\n");
             fs::permissions(w.bin() / "pinentry-curses", fs::perms::owner_all);
             fs::create_symlink(w.bin() / "pinentry-curses", w.bin() / "pinentry");
             w.environment().erase("KIVO_PINENTRY");
         },
         false, "works only in a terminal",
         [](const Outcome& o) {
             const json pinentry = o.line("approval", {{"check", "pinentry"}});
             EXPECT_EQ(pinentry["flavour"], "curses");
             EXPECT_EQ(fs::path(pinentry["resolved"].get<std::string>()).filename(),
                       "pinentry-curses");
         }},
        {"sandboxed browsers: Firefox as a Snap with the portal, Chromium as a Flatpak",
         [](World& w) {
             w.withNssIdentities({"jane"});
             writeFile(w.folder() / "snap/bin/firefox", "");
             fs::create_directories(w.folder() / "flatpak-user/app/org.chromium.Chromium");
             writeFile(
                 w.folder() / "share/dbus-1/interfaces/org.freedesktop.portal.WebExtensions.xml",
                 "<node/>");
         },
         true, "",
         [](const Outcome& o) {
             const json firefox =
                 o.line("browsers", {{"check", "browser"}, {"browser", "firefox"}});
             EXPECT_FALSE(firefox["snap"].is_null());
             EXPECT_EQ(o.line("browsers", {{"check", "route"}, {"browser", "firefox"}})["present"],
                       true);
             const json chromium =
                 o.line("browsers", {{"check", "route"}, {"browser", "chromium"}});
             EXPECT_EQ(chromium["sandbox"], "flatpak");
             EXPECT_EQ(chromium["mark"], "warning");
             EXPECT_EQ(o.line("browsers", {{"check", "browser"},
                                           {"browser", "chromium"}})["flatpak"]["installation"],
                       "user");
         }},
        {"password-protected database",
         [](World& w) { w.withNssIdentities({"jane"}, "db-secret"); }, true, "",
         [](const Outcome& o) {
             const json database =
                 o.line("key_stores", {{"check", "nss_database"}, {"state", "opened"}});
             EXPECT_EQ(database["password_protected"], true);
             EXPECT_TRUE(database["identities"].is_null());
         }},
    };
    // The user's manifest comes first, so only a world without one depends on the machine's.
    const bool systemManifest =
        fs::exists("/usr/lib/mozilla/native-messaging-hosts/com.kivo.signing.json");
    for (const auto& world : worlds) {
        SCOPED_TRACE(world.label);
        if (systemManifest && std::string(world.label) == "no manifest") {
            std::cout << "*** SKIPPED the world without a manifest: this machine has a system-wide "
                         "Firefox manifest\n";
            continue;
        }
        World w(*pki_);
        world.build(w);
        const Outcome outcome = w.diagnose();
        EXPECT_EQ(outcome.report["ready"], world.ready) << blockerText(outcome);
        EXPECT_EQ(outcome.status, world.ready ? 0 : 1);
        if (!world.ready) {
            ASSERT_EQ(outcome.report["blockers"].size(), 1u) << blockerText(outcome);
            EXPECT_NE(blockerText(outcome).find(world.blocker), std::string::npos)
                << blockerText(outcome);
            EXPECT_FALSE(outcome.report["blockers"][0].value("fix", "").empty());
        }
        world.check(outcome);
    }
}

// Every file below the home, with what a write would change. tpm2_pkcs11, when the machine
// registers it, keeps its store in ~/.tpm2_pkcs11 and opens it whenever it is loaded, by any
// program: that folder is the module's, not the host's.
std::map<std::string, std::string> snapshot(const fs::path& home) {
    std::map<std::string, std::string> files;
    for (auto entry = fs::recursive_directory_iterator(home);
         entry != fs::recursive_directory_iterator(); ++entry) {
        if (entry->path().filename() == ".tpm2_pkcs11") {
            entry.disable_recursion_pending();
            continue;
        }
        struct stat facts {};
        ::lstat(entry->path().c_str(), &facts);
        files[entry->path().string()] =
            std::to_string(facts.st_size) + " " + std::to_string(facts.st_mtim.tv_sec) + "." +
            std::to_string(facts.st_mtim.tv_nsec) + " " + std::to_string(facts.st_mode);
    }
    return files;
}

TEST_F(Diagnose, WritesNothingAndShowsWhatTheSearchMet) {
    World w(*pki_);
    w.withNssIdentities({"jane"});
    // The Snap's Firefox: its profile's module is never loaded, and the report says why.
    FirefoxProfiles profiles(w.home() / "snap/firefox/common/.mozilla/firefox");
    profiles.addProfile("default-release", "ab.default-release", true, "profile-secret")
        .registerModule("Card", SoftHsm::modulePath());
    writeFile(w.home() / "kivo-signing.log",
              "01-01-2026 10:00:00.000 INFO  Application launched\n"
              "01-01-2026 10:00:01.000 ERROR SigningError (102): Certificate not found\n");
    ::chmod((w.home() / "kivo-signing.log").c_str(), 0600);
    // A first run lets the machine's PKCS#11 modules make what they keep in a home.
    w.diagnose();
    const auto before = snapshot(w.home());
    const Outcome outcome = w.diagnose();
    EXPECT_EQ(snapshot(w.home()), before);

    EXPECT_EQ(outcome.lines("key_stores", {{"check", "nss_database"}, {"state", "opened"}}).size(),
              2u);
    const json module = outcome.line(
        "key_stores",
        {{"check", "module"}, {"loaded", false}, {"library", SoftHsm::modulePath().string()}});
    EXPECT_NE(module.value("initialize_result", "").find("sandboxed browser"), std::string::npos)
        << module.dump();
    const json log = outcome.line("log", {{"check", "log"}});
    EXPECT_EQ(log["mode"], "0600");
    EXPECT_EQ(log["last_start"], "01-01-2026 10:00:00.000");
    EXPECT_EQ(log["errors"],
              json({"01-01-2026 10:00:01.000 ERROR SigningError (102): Certificate not found"}));
}

}  // namespace
}  // namespace kivo::testing
