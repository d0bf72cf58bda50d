// kivo-signing-host --diagnose --json run on the worlds of tests/data/diagnostics/worlds.json: a
// home with browsers on PATH, manifests, NSS databases, SoftHSM2 tokens and a pinentry, each
// world changed from a healthy one by a few named steps.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "HostClient.h"
#include "foundation/Time.h"
#include "support/KeyStoreFixtures.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// Jane's committed identity, and hers again expiring earlier, in the past and in ten and a half
// days (ten whole days left for the next twelve hours).
struct Pki {
    TempDir dir;
    TestCa ca = committedCa("ca");
    std::map<std::string, IssuedCertificate> issued{{"jane", committedCertificate("jane")}};

    Pki() {
        std::string expiring = foundation::formatTimestamp(
            std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now() + 252h));
        std::erase_if(expiring, [](char c) { return std::isdigit(c) == 0; });
        expiring = expiring.substr(0, 14) + "Z";
        for (const auto& [name, notAfter] : {std::pair{"jane-earlier", "20331231235959Z"},
                                             {"jane-expired", "20250101000000Z"},
                                             {"jane-expiring", expiring.c_str()}}) {
            issued[name] = issueCertificate(dir.path(), ca, notAfter, name);
        }
    }
};

// Whether `line` holds every fact; a key is a path into the line ("flatpak/installation"), and
// null stands for absent.
bool holds(const json& line, const json& facts) {
    bool all = true;
    for (const auto& [key, value] : facts.items()) {
        const json::json_pointer at("/" + key);
        all = all && (line.contains(at) ? line.at(at) : json()) == value;
    }
    return all;
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

// A folder for the home, SoftHSM2's tokens, and what the steps of a world put there.
class World {
  public:
    explicit World(const Pki& pki) : pki_(pki) {}

    const fs::path& home() const { return home_.path(); }

    json expanded(const json& row) const {
        return json::parse(
            withPlaceholders(row.dump(), {{"${HOST}", KIVO_HOST_BINARY},
                                          {"${WORLD}", dir_.string()},
                                          {"${SOFTHSM}", SoftHsm::modulePath().string()}}));
    }

    void apply(const json& step) {
        const std::string operation = step[0];
        const std::string argument = step[1].is_string() ? step[1].get<std::string>() : "";
        const fs::path path = dir_ / argument;
        if (operation == "nss") {
            const NssDatabase nss(
                home_.path(), step.size() > 2 ? std::optional<std::string>(step[2]) : std::nullopt);
            for (const std::string name : step[1]) {
                nss.importPkcs12(pki_.issued.at(name), name);
            }
        } else if (operation == "manifest") {
            writeFile(home_.path() / ".mozilla/native-messaging-hosts/com.kivo.signing.json",
                      json({{"name", "com.kivo.signing"},
                            {"description", "test"},
                            {"path", argument},
                            {"type", "stdio"},
                            {"allowed_extensions", {step[2]}}})
                          .dump());
        } else if (operation == "file") {
            writeFile(path, step[2]);
            fs::permissions(
                path, fs::perms(std::stoi(step.size() > 3 ? step[3].get<std::string>() : "600",
                                          nullptr, 8)));
        } else if (operation == "link") {
            fs::create_symlink(step[2].get<std::string>(), path);
        } else if (operation == "remove") {
            fs::remove(path);
        } else if (operation == "set") {
            environment_[argument] = step[2];
        } else if (operation == "unset") {
            environment_.erase(argument);
        } else if (operation == "locked token") {
            const SoftHsmToken token = hsm_.addToken(argument);
            token.importIdentity(pki_.issued.at(step[2]), "01");
            token.lockUserPin();
        } else if (operation == "profile with module") {
            FirefoxProfiles(path)
                .addProfile("default-release", "ab.default-release", true, "profile-secret")
                .registerModule("Card", SoftHsm::modulePath());
        } else {
            ADD_FAILURE() << "no step " << operation;
        }
    }

    // The exit status and the report of --diagnose --json for Jane.
    std::pair<int, json> diagnose() {
        tools::HostOptions options;
        options.binary = KIVO_HOST_BINARY;
        options.arguments = {
            "--diagnose",       "--json", "--name",      "Jane Citizen", "--email",
            "jane@example.com", "--abn",  "51824753556", "--aki",        pki_.ca.subjectKeyIdHex};
        options.environment = environment_;
        options.unsetVariables = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                  "KIVO_VERBOSE_LOGGING"};
        options.stderrPath = (dir_ / "stderr.txt").string();
        tools::HostProcess host(options);
        host.closeInput();
        const std::string output = host.readRemainingOutput(120s);
        const json report = json::parse(output, nullptr, false);
        EXPECT_TRUE(report.is_object()) << output;
        return {host.waitForExit(60s).value_or(-1), report};
    }

  private:
    const Pki& pki_;
    TempDir temp_;
    const fs::path dir_ = fs::canonical(temp_.path());
    TestHome home_{dir_ / "home"};
    SoftHsm hsm_{dir_ / "softhsm"};
    Environment environment_ = mergedEnvironments({home_.environment(), hsm_.environment()});
};

TEST(Diagnose, EachWorldGetsItsVerdictAndItsFacts) {
    const Pki pki;
    const json& healthy = testCases("diagnostics/worlds.json", "the healthy world");
    for (const json& pattern : testCases("diagnostics/worlds.json", "worlds")) {
        SCOPED_TRACE(pattern["world"].get<std::string>());
        const std::string machineFile = pattern.value("skipWhenExists", "");
        if (!machineFile.empty() && fs::exists(machineFile)) {
            std::cout << "*** SKIPPED " << pattern["world"] << ": this machine has " << machineFile
                      << "\n";
            continue;
        }
        World world(pki);
        const json row = world.expanded(pattern);
        for (const json& steps : {world.expanded(healthy), row["steps"]}) {
            for (const json& step : steps) {
                world.apply(step);
            }
        }
        std::map<std::string, std::string> before;
        if (row.value("writesNothing", false)) {
            // A first run lets the machine's PKCS#11 modules make what they keep in a home.
            world.diagnose();
            before = snapshot(world.home());
            ASSERT_FALSE(before.empty());
        }
        const auto [status, report] = world.diagnose();
        if (row.value("writesNothing", false)) {
            EXPECT_EQ(snapshot(world.home()), before);
        }
        std::string blockers;
        for (const json& blocker : report["blockers"]) {
            blockers += blocker.value("problem", "") + "\n";
        }
        const bool ready = row.value("ready", false);
        EXPECT_EQ(report["ready"], ready) << blockers;
        EXPECT_EQ(status, ready ? 0 : 1);
        if (!ready) {
            EXPECT_EQ(report["blockers"].size(), 1u) << blockers;
            EXPECT_NE(blockers.find(row["blocker"].get<std::string>()), std::string::npos)
                << blockers;
            EXPECT_FALSE(report.at("blockers").at(0).value("fix", "").empty());
        }
        for (const json& expected : row["lines"]) {
            std::vector<json> found;
            for (const json& line : report.at("sections").at(expected[0].get<std::string>())) {
                if (holds(line, expected[1])) {
                    found.push_back(line);
                }
            }
            EXPECT_EQ(found.size(), expected[2].is_number() ? expected[2].get<std::size_t>() : 1u)
                << expected.dump() << "\n"
                << report.dump(1);
            if (found.size() == 1 && expected[2].is_object()) {
                EXPECT_TRUE(holds(found[0], expected[2])) << expected.dump() << "\n"
                                                          << found[0].dump(1);
            }
        }
    }
}

}  // namespace
}  // namespace kivo::testing
