// The built host driven through its standard input and output, as a browser drives it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BuildConfig.h"
#include "support/HostSession.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TEST(HostProcess, VersionAnswerCarriesHostFactsAndTheHostKeepsAPrivateLog) {
    HostSession host(Environment{}, {"chrome-extension://abcdef/"});
    const json answer = host.ask(R"({"type":"VerSion"})");
    EXPECT_EQ(answer.value("result", ""), "ok");
    EXPECT_EQ(answer.value("version", ""), build::version);
    EXPECT_EQ(answer.value("os_type", ""), build::architecture);
    EXPECT_EQ(answer.value("install_location", ""),
              (host.home() / ".local/share/applications").string());
    for (const char* absent :
         {"cert_serial", "cert_expiry", "cert_issuer", "error_code", "error_message"}) {
        EXPECT_FALSE(answer.contains(absent)) << absent;
    }
    EXPECT_EQ(host.finish(), 0);

    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(host.home() / "kivo-signing.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string log = host.logText();
    EXPECT_GE(expectLogLinesWellFormed(log), 8u);
    EXPECT_NE(log.find("INFO  Request type = VerSion\n"), std::string::npos);
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
}

TEST(HostProcess, IdleTimeoutEndsTheHostAfterTheMinimumPeriod) {
    HostSession host;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.send(R"({"type":"version","idle_timeout":1000})"));
    ASSERT_TRUE(host.answer());
    // The input stays open: only the idle clock can end the host.
    const auto status = host.process().waitForExit(60s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0);
    EXPECT_GE(elapsed, 3s);
    const std::string log = host.logText();
    EXPECT_NE(log.find("INFO  Setting idle timeout = 1.0 secs\n"), std::string::npos);
    EXPECT_NE(log.find("INFO  Application terminating\n"), std::string::npos);
}

}  // namespace
}  // namespace kivo::testing
