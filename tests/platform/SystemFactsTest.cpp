#include "platform/SystemFacts.h"

#include <gtest/gtest.h>

namespace kivo::platform {
namespace {

TEST(SystemFacts, KernelReleaseGivesThreeNumbers) {
    const std::pair<const char*, const char*> cases[] = {
        {"6.1.0-18-amd64", "6.1.0"},  {"5.15", "5.15.0"}, {"6.8.0rc1", "6.8.0"},     {"", "0.0.0"},
        {"4.19.07-custom", "4.19.7"}, {"x.y", "0.0.0"},   {"6.18.44-fc", "6.18.44"},
    };
    for (const auto& [release, expected] : cases) {
        EXPECT_EQ(kernelVersionNumbers(release), expected) << release;
    }
    EXPECT_EQ(operatingSystemDescription().rfind("Linux version ", 0), 0u);
}

TEST(SystemFacts, ApplicationsFolderFollowsXdgThenHome) {
    EXPECT_EQ(applicationsFolder("/data", "/home/u"), "/data/applications");
    EXPECT_EQ(applicationsFolder("", "/home/u"), "/home/u/.local/share/applications");
    EXPECT_EQ(applicationsFolder(std::nullopt, "/home/u"), "/home/u/.local/share/applications");
}

}  // namespace
}  // namespace kivo::platform
