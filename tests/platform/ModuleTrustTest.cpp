// Which PKCS#11 libraries that NSS databases name the key store may load: none that a sandboxed
// browser could have written or named, and none that another user could have placed. The
// library stands in for a hostile one: loading it leaves a marker file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "platform/Pkcs11KeyStore.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

const fs::path flatpakApp = ".var/app/org.mozilla.firefox";
const fs::path snapApp = "snap/firefox";

// A copy of the marker library at `where`, and a pkcs11.txt in `database` naming `named`.
void plantModule(const fs::path& where, const fs::path& database, const std::string& named) {
    fs::create_directories(where.parent_path());
    fs::copy_file(KIVO_MARKER_MODULE, where, fs::copy_options::overwrite_existing);
    writeFile(database / "pkcs11.txt", "library=" + named + "\nname=Vendor\n");
}

void listProfile(const fs::path& firefoxRoot, const std::string& entries) {
    writeFile(firefoxRoot / "profiles.ini", "[Profile0]\nName=p\n" + entries + "\n");
}

struct Case {
    const char* name;
    std::function<void(const fs::path& home)> plant;
    bool loaded;
    bool needsRoot = false;  // to give a file to another user
};

TEST(ModuleTrust, OnlyLibrariesNoSandboxOrOtherUserCouldPlaceAreLoaded) {
    const Case cases[] = {
        {"named by a Flatpak profile",
         [](const fs::path& home) {
             const fs::path root = home / flatpakApp / ".mozilla/firefox";
             listProfile(root, "Path=p");
             plantModule(home / flatpakApp / "libvendor-pkcs11.so", root / "p",
                         (home / flatpakApp / "libvendor-pkcs11.so").string());
         },
         false},
        {"named by a Snap profile",
         [](const fs::path& home) {
             const fs::path root = home / snapApp / "common/.mozilla/firefox";
             listProfile(root, "Path=p");
             plantModule(home / "private/lib.so", root / "p", (home / "private/lib.so").string());
         },
         false},
        {"inside a sandbox's folder, named by ~/.pki/nssdb",
         [](const fs::path& home) {
             plantModule(home / flatpakApp / "lib.so", home / ".pki/nssdb",
                         (home / flatpakApp / "lib.so").string());
         },
         false},
        {"in a folder every user can write",
         [](const fs::path& home) {
             plantModule(home / "shared/lib.so", home / ".pki/nssdb",
                         (home / "shared/lib.so").string());
             fs::permissions(home / "shared", fs::perms::all);
         },
         false},
        {"writable by every user",
         [](const fs::path& home) {
             plantModule(home / "private/lib.so", home / ".pki/nssdb",
                         (home / "private/lib.so").string());
             fs::permissions(home / "private/lib.so", fs::perms::all);
         },
         false},
        {"of another user",
         [](const fs::path& home) {
             plantModule(home / "private/lib.so", home / ".pki/nssdb",
                         (home / "private/lib.so").string());
             ASSERT_EQ(::chown((home / "private/lib.so").c_str(), 65534, 65534), 0);
         },
         false, true},
        {"a relative path",
         [](const fs::path& home) {
             plantModule(home / "private/lib.so", home / ".pki/nssdb", "private/lib.so");
         },
         false},
        {"the user's own library, named by ~/.pki/nssdb",
         [](const fs::path& home) {
             plantModule(home / "private/lib.so", home / ".pki/nssdb",
                         (home / "private/lib.so").string());
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        TempDir dir;
        const fs::path home = dir / "home";
        c.plant(home);
        const fs::path marker = dir / "loaded";
        const ScopedEnvironment env(
            {{"HOME", home.string()}, {"KIVO_TEST_MARKER", marker.string()}});
        platform::Pkcs11KeyStore(platform::defaultKeyStoreOptions()).tokenIds();
        EXPECT_EQ(fs::exists(marker), c.loaded);
    }
}

}  // namespace
}  // namespace kivo::testing
