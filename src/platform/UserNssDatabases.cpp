#include "platform/UserNssDatabases.h"

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>

#include "foundation/Log.h"
#include "foundation/SmallFile.h"

namespace kivo::platform {
namespace {

namespace fs = std::filesystem;

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;

    std::optional<std::string> value(std::string_view key) const {
        for (const auto& [entryKey, entryValue] : entries) {
            if (entryKey == key) {
                return entryValue;
            }
        }
        return std::nullopt;
    }
};

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<IniSection> parseIni(std::string_view text) {
    std::vector<IniSection> sections;
    std::istringstream lines{std::string(text)};
    for (std::string raw; std::getline(lines, raw);) {
        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back(IniSection{std::string(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || sections.empty()) {
            continue;
        }
        sections.back().entries.emplace_back(std::string(trimmed(line.substr(0, equals))),
                                             std::string(trimmed(line.substr(equals + 1))));
    }
    return sections;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A relative path names a folder under the profiles.ini's folder; so does an absolute one
// that Firefox wrote for a profile kept elsewhere.
fs::path profileFolder(const fs::path& root, const std::string& path, bool relative) {
    const fs::path given(path);
    return relative || given.is_relative() ? root / given : given;
}

// Two spellings of one folder (a symbolic link, "a/../b") count once.
fs::path identity(const fs::path& folder) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(folder, error);
    return error ? folder.lexically_normal() : canonical;
}

bool isWithin(const fs::path& folder, const fs::path& outer) {
    const fs::path inner = identity(folder);
    const fs::path container = identity(outer);
    return std::mismatch(inner.begin(), inner.end(), container.begin(), container.end()).second ==
           container.end();
}

}  // namespace

std::vector<NssDatabaseLocation> firefoxProfiles(std::string_view profilesIni, const fs::path& root,
                                                 std::string_view storeKind,
                                                 const std::optional<fs::path>& sandbox) {
    const std::vector<IniSection> sections = parseIni(profilesIni);
    struct Profile {
        fs::path folder;
        std::string name;
    };
    std::vector<Profile> profiles;
    for (const IniSection& section : sections) {
        const auto path = section.value("Path");
        if (!startsWith(section.name, "Profile") || !path || path->empty()) {
            continue;
        }
        const bool relative = section.value("IsRelative").value_or("1") != "0";
        const fs::path folder = profileFolder(root, *path, relative);
        profiles.push_back(Profile{folder, section.value("Name").value_or(folder.filename())});
    }
    const auto nameOf = [&](const fs::path& folder) {
        for (const Profile& profile : profiles) {
            if (profile.folder == folder) {
                return profile.name;
            }
        }
        return folder.filename().string();
    };
    std::vector<NssDatabaseLocation> locations;
    const auto add = [&](const fs::path& folder) {
        if (sandbox && !isWithin(folder, *sandbox)) {
            foundation::writeLog(foundation::LogLevel::info,
                                 "Not searching " + folder.string() + ": a profile of " +
                                     sandbox->string() + " must stay inside that folder");
            return;
        }
        locations.push_back(
            NssDatabaseLocation{folder, std::string(storeKind) + " " + nameOf(folder), sandbox});
    };
    // The profile each Firefox installation starts with comes first: it is the one in use.
    for (const IniSection& section : sections) {
        if (startsWith(section.name, "Install")) {
            if (const auto path = section.value("Default"); path && !path->empty()) {
                add(profileFolder(root, *path, false));
            }
        }
    }
    for (const Profile& profile : profiles) {
        add(profile.folder);
    }
    return locations;
}

std::vector<fs::path> sandboxFolders(const fs::path& home) {
    return {home / "snap", home / ".var" / "app"};
}

std::vector<NssDatabaseLocation> userNssDatabases(const fs::path& home) {
    std::vector<NssDatabaseLocation> candidates{
        {home / ".pki" / "nssdb", "NSS database ~/.pki/nssdb", std::nullopt}};
    struct FirefoxRoot {
        fs::path folder;
        std::string_view kind;
        std::optional<fs::path> sandbox;
    };
    const fs::path snap = home / "snap" / "firefox";
    const fs::path flatpak = home / ".var" / "app" / "org.mozilla.firefox";
    const FirefoxRoot firefoxRoots[] = {
        {home / ".mozilla" / "firefox", "Firefox profile", std::nullopt},
        {snap / "common" / ".mozilla" / "firefox", "Firefox (Snap) profile", snap},
        {flatpak / ".mozilla" / "firefox", "Firefox (Flatpak) profile", flatpak},
    };
    for (const auto& [root, kind, sandbox] : firefoxRoots) {
        if (const auto text = foundation::readSmallFile(root / "profiles.ini")) {
            for (auto& location : firefoxProfiles(*text, root, kind, sandbox)) {
                candidates.push_back(std::move(location));
            }
        }
    }
    std::vector<NssDatabaseLocation> locations;
    std::set<fs::path> seen;
    for (auto& location : candidates) {
        if (seen.insert(identity(location.directory)).second) {
            locations.push_back(std::move(location));
        }
    }
    return locations;
}

}  // namespace kivo::platform
