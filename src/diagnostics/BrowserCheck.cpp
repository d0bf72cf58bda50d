#include "diagnostics/BrowserCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "BuildConfig.h"
#include "foundation/SmallFile.h"
#include "platform/PinEntry.h"

namespace kivo::diagnostics {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* hostName = "com.kivo.signing";
constexpr const char* registerFix =
    "run /usr/share/kivo-signing/register-browsers.sh --browser ";  // + name (docs/browsers.md)

struct Installation {
    std::optional<fs::path> native;
    std::optional<fs::path> snap;
    std::optional<std::string> flatpak;  // "user" or "system" installation
};

struct Places {
    fs::path home;
    fs::path configHome;
    fs::path flatpakUser;
    fs::path flatpakSystem;
    std::vector<fs::path> snapBins;
    std::vector<fs::path> dataDirs;

    explicit Places(const Surroundings& s) : home(s.home().value_or("/nonexistent")) {
        configHome = s.nonEmpty("XDG_CONFIG_HOME").value_or((home / ".config").string());
        const fs::path dataHome =
            s.nonEmpty("XDG_DATA_HOME").value_or((home / ".local/share").string());
        flatpakUser = s.nonEmpty("FLATPAK_USER_DIR").value_or((dataHome / "flatpak").string());
        flatpakSystem = s.nonEmpty("FLATPAK_SYSTEM_DIR").value_or("/var/lib/flatpak");
        if (const auto snapDir = s.nonEmpty("KIVO_SNAP_DIR")) {
            snapBins = {fs::path(*snapDir) / "bin"};
        } else {
            snapBins = {"/snap/bin", "/var/lib/snapd/snap/bin"};
        }
        dataDirs = {dataHome};
        for (auto& folder : s.folderList("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
            dataDirs.push_back(std::move(folder));
        }
    }

    fs::path userFolder(const Browser& browser) const {
        const std::string_view folder = browser.userFolder;
        if (folder.starts_with("@C/")) {
            return configHome / folder.substr(3);
        }
        return home / folder.substr(folder.starts_with("@H/") ? 3 : 0);
    }

    // Inside the Flatpak's own folder, where a Flatpak browser reads its manifests.
    fs::path sandboxFolder(const Browser& browser) const {
        const std::string_view folder = browser.userFolder;
        const fs::path app = home / ".var/app" / browser.flatpakId;
        return folder.starts_with("@C/") ? app / "config" / folder.substr(3)
                                         : app / folder.substr(folder.starts_with("@H/") ? 3 : 0);
    }

    bool hasDataFile(const fs::path& relative) const {
        std::error_code error;
        for (const fs::path& folder : dataDirs) {
            if (fs::exists(folder / relative, error)) {
                return true;
            }
        }
        return false;
    }
};

Installation installationOf(const Browser& browser, const Places& places) {
    Installation found;
    for (const std::string& command : browser.commands) {
        if (auto program = platform::findExecutable(command); program && !found.native) {
            found.native = std::move(program);
        }
    }
    std::error_code error;
    for (const fs::path& bin : places.snapBins) {
        if (!browser.snap.empty() && !found.snap && fs::exists(bin / browser.snap, error)) {
            found.snap = bin / browser.snap;
        }
    }
    if (!browser.flatpakId.empty()) {
        if (fs::is_directory(places.flatpakUser / "app" / browser.flatpakId, error)) {
            found.flatpak = "user";
        } else if (fs::is_directory(places.flatpakSystem / "app" / browser.flatpakId, error)) {
            found.flatpak = "system";
        }
    }
    return found;
}

bool sameFile(const fs::path& left, const fs::path& right) {
    struct stat a {};
    struct stat b {};
    return ::stat(left.c_str(), &a) == 0 && ::stat(right.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Manifest {
    fs::path file;
    std::string scope;  // "user", "system" or "sandbox"
    bool present = false;
    // Why the browser cannot start this host with it; none when it can.
    std::optional<std::string> fault;
    std::optional<std::string> host;
    bool thisHost = false;
    std::vector<std::string> allowed;
    std::vector<std::string> placeholders;
};

// The manifest's "path": an executable file, and whether it is this host.
void examineHostPath(Manifest& manifest, const json& document, const fs::path& hostProgram) {
    const auto path = document.find("path");
    if (path == document.end() || !path->is_string()) {
        manifest.fault = "it has no \"path\"";
        return;
    }
    manifest.host = path->get<std::string>();
    const fs::path host(*manifest.host);
    std::error_code error;
    if (!host.is_absolute()) {
        manifest.fault = "its \"path\" " + *manifest.host + " is not absolute";
    } else if (!fs::is_regular_file(host, error)) {
        manifest.fault = "its \"path\" names " + *manifest.host + ", which does not exist";
    } else if (::access(host.c_str(), X_OK) != 0) {
        manifest.fault = "its \"path\" names " + *manifest.host + ", which is not executable";
    } else {
        manifest.thisHost = sameFile(host, hostProgram);
    }
}

Manifest examineManifest(const fs::path& folder, std::string scope, BrowserFamily family,
                         const fs::path& hostProgram) {
    Manifest manifest;
    manifest.file = folder / (std::string(hostName) + ".json");
    manifest.scope = std::move(scope);
    std::error_code error;
    manifest.present = fs::exists(manifest.file, error);
    if (!manifest.present) {
        return manifest;
    }
    const auto text = foundation::readSmallFile(manifest.file);
    const json document = text ? json::parse(*text, nullptr, false) : json();
    if (!text) {
        manifest.fault = "it cannot be read";
        return manifest;
    }
    if (!document.is_object()) {
        manifest.fault = "it is not valid JSON";
        return manifest;
    }
    const std::string allowedKey =
        family == BrowserFamily::firefox ? "allowed_extensions" : "allowed_origins";
    if (document.value("name", json()) != hostName) {
        manifest.fault = std::string("its \"name\" is not ") + hostName;
    } else if (document.value("type", json()) != "stdio") {
        manifest.fault = "its \"type\" is not stdio";
    } else {
        examineHostPath(manifest, document, hostProgram);
    }
    const auto allowed = document.find(allowedKey);
    if (allowed != document.end() && allowed->is_array()) {
        for (const json& entry : *allowed) {
            if (entry.is_string()) {
                manifest.allowed.push_back(entry.get<std::string>());
            }
        }
    }
    for (const std::string& entry : manifest.allowed) {
        if (entry == build::placeholderChromeOrigin || entry == build::placeholderFirefoxId) {
            manifest.placeholders.push_back(entry);
        }
    }
    if (!manifest.fault && manifest.allowed.empty()) {
        manifest.fault = "its \"" + allowedKey + "\" lists no extension";
    }
    return manifest;
}

json manifestFacts(const Browser& browser, const Manifest& manifest, bool used) {
    return {{"check", "manifest"},
            {"browser", browser.name},
            {"file", manifest.file.string()},
            {"scope", manifest.scope},
            {"present", manifest.present},
            {"used", used},
            {"fault", manifest.fault ? json(*manifest.fault) : json()},
            {"host", manifest.host ? json(*manifest.host) : json()},
            {"this_host", manifest.thisHost},
            {"allowed", manifest.allowed},
            {"placeholders", manifest.placeholders}};
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// One line for a manifest that is there. `needed`: the browser is installed and reads it, so a
// fault keeps it from starting the host.
void reportManifest(const Browser& browser, const Manifest& manifest, bool used, bool needed,
                    Section& section, std::vector<Blocker>& blockers) {
    const std::string where = manifest.file.string() + ": ";
    const json facts = manifestFacts(browser, manifest, used);
    if (manifest.fault) {
        section.add(used && needed ? Mark::problem : Mark::warning, where + *manifest.fault, facts);
        if (used && needed) {
            blockers.push_back({browser.label + " cannot start the host: " +
                                    manifest.file.string() + ": " + *manifest.fault,
                                registerFix + browser.name + " (docs/browsers.md)"});
        }
        return;
    }
    std::string text = where + (manifest.thisHost ? "starts this host"
                                                  : "starts " + *manifest.host + ", not this host");
    text += "; allows " + joined(manifest.allowed);
    if (!used) {
        text += " (not read: the user's manifest comes first)";
    }
    Mark mark = manifest.thisHost ? Mark::ok : Mark::warning;
    if (!manifest.placeholders.empty()) {
        text += "; " + joined(manifest.placeholders) +
                " is the build's placeholder, which no real extension has";
        mark = Mark::warning;
    }
    section.add(mark, text, facts);
}

std::string installationText(const Browser& browser, const Installation& found) {
    std::vector<std::string> ways;
    if (found.native) {
        ways.push_back("installed (" + found.native->string() + ")");
    }
    if (found.snap) {
        ways.push_back("installed as a Snap (" + found.snap->string() + ")");
    }
    if (found.flatpak) {
        ways.push_back("installed as a Flatpak (" + browser.flatpakId + ", " + *found.flatpak +
                       " installation)");
    }
    return browser.label + ": " + (ways.empty() ? "not installed" : joined(ways));
}

// How a sandboxed browser reaches a host outside its sandbox, when it can.
void reportRoutes(const Browser& browser, const Installation& found, const Places& places,
                  Section& section) {
    const bool firefox = browser.family == BrowserFamily::firefox;
    const auto route = [&](const char* sandbox, const char* text, bool present, const char* key) {
        section.add(
            present ? Mark::ok : Mark::warning,
            browser.label + " as a " + sandbox + text + (present ? ": present" : ": not found"),
            {{"check", "route"},
             {"browser", browser.name},
             {"sandbox", key},
             {"present", present}});
    };
    if (found.snap && firefox) {
        route("Snap",
              " starts hosts through the desktop portal (xdg-desktop-portal with the "
              "WebExtensions interface)",
              places.hasDataFile("dbus-1/interfaces/org.freedesktop.portal.WebExtensions.xml"),
              "snap");
    }
    if (found.flatpak && firefox) {
        route("Flatpak",
              " (157 and later) starts hosts through xdg-native-messaging-proxy, "
              "which reads the manifests above",
              places.hasDataFile("dbus-1/services/org.freedesktop.NativeMessagingProxy.service"),
              "flatpak");
    }
    for (const auto& [installed, sandbox, key] :
         {std::tuple{found.snap.has_value(), "Snap", "snap"},
          std::tuple{found.flatpak.has_value(), "Flatpak", "flatpak"}}) {
        if (installed && !firefox) {
            section.add(Mark::warning,
                        browser.label + " as a " + sandbox +
                            " has no supported way to start a native-messaging host: install the "
                            "browser from your distribution's package, or use Firefox",
                        {{"check", "route"},
                         {"browser", browser.name},
                         {"sandbox", key},
                         {"present", false}});
        }
    }
}

void checkBrowser(const Browser& browser, const Places& places, const fs::path& hostProgram,
                  Section& section, std::vector<Blocker>& blockers) {
    const Installation found = installationOf(browser, places);
    const bool firefox = browser.family == BrowserFamily::firefox;
    // The standard folders serve a native browser, and a sandboxed Firefox through its route.
    const bool needed = found.native || (firefox && (found.snap || found.flatpak));
    section.add(Mark::ok, installationText(browser, found),
                {{"check", "browser"},
                 {"browser", browser.name},
                 {"native", found.native ? json(found.native->string()) : json()},
                 {"snap", found.snap ? json(found.snap->string()) : json()},
                 {"flatpak", found.flatpak ? json({{"app_id", browser.flatpakId},
                                                   {"installation", *found.flatpak}})
                                           : json()}});

    const Manifest user =
        examineManifest(places.userFolder(browser), "user", browser.family, hostProgram);
    const Manifest system =
        examineManifest(browser.systemFolder, "system", browser.family, hostProgram);
    if (needed && !user.present && !system.present) {
        const std::string problem = browser.label + " finds no manifest " + hostName +
                                    ".json (looked in " + user.file.parent_path().string() +
                                    " and " + system.file.parent_path().string() + ")";
        section.add(Mark::problem, problem, manifestFacts(browser, user, false));
        blockers.push_back({problem, registerFix + browser.name + " (docs/browsers.md)"});
    }
    for (const Manifest* manifest : {&user, &system}) {
        if (manifest->present) {
            const bool used = manifest == &user || !user.present;
            reportManifest(browser, *manifest, used, needed, section, blockers);
        }
    }
    if (found.flatpak) {
        const Manifest sandbox =
            examineManifest(places.sandboxFolder(browser), "sandbox", browser.family, hostProgram);
        if (sandbox.present) {
            reportManifest(browser, sandbox, true, false, section, blockers);
        }
    }
    reportRoutes(browser, found, places, section);
}

}  // namespace

void checkBrowsers(const std::vector<Browser>& browsers, const Surroundings& surroundings,
                   Section& section, std::vector<Blocker>& blockers) {
    const Places places(surroundings);
    for (const Browser& browser : browsers) {
        checkBrowser(browser, places, surroundings.hostProgram, section, blockers);
    }
}

}  // namespace kivo::diagnostics
