// Which PKCS#11 libraries that NSS databases name the key store may load: none that a sandboxed
// browser could have written or named, and none that another user could have placed. The
// library stands in for a hostile one: loading it leaves a marker file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/Pkcs11KeyStore.h"
#include "support/KeyStoreFixtures.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

TEST(ModuleTrust, OnlyLibrariesNoSandboxOrOtherUserCouldPlaceAreLoaded) {
    for (const auto& c : testCases("platform/stores.json", "module trust")) {
        SCOPED_TRACE(c["case"].get<std::string>());
        const bool otherOwner = c.value("otherOwner", false);
        if (otherOwner && ::geteuid() != 0) {
            continue;
        }
        TempDir dir;
        const fs::path home = dir / "home";
        const std::string database = c["database"], named = c["library"];
        const fs::path library = home / named;
        fs::create_directories(library.parent_path());
        fs::copy_file(KIVO_MARKER_MODULE, library);
        writeFile(home / database / "pkcs11.txt",
                  "library=" + (c.value("relative", false) ? named : library.string()) +
                      "\nname=Vendor\n");
        writeFile(home / database / "../profiles.ini", "[Profile0]\nPath=p\n");
        if (c.contains("writableByAll")) {
            fs::permissions(
                home / c["writableByAll"].get<std::string>(),
                fs::perms::others_all |
                    (c.value("sticky", false) ? fs::perms::sticky_bit : fs::perms::none),
                fs::perm_options::add);
        }
        if (otherOwner) {
            ASSERT_EQ(::chown(library.c_str(), 65534, 65534), 0);
        }
        const fs::path marker = dir / "loaded";
        const ScopedEnvironment env(
            {{"HOME", home.string()}, {"KIVO_TEST_MARKER", marker.string()}});
        platform::Pkcs11KeyStore(platform::defaultKeyStoreOptions()).tokenIds();
        EXPECT_EQ(fs::exists(marker), c.value("loaded", false));
    }
}

}  // namespace
}  // namespace kivo::testing
