#include "diagnostics/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/TestCases.h"

namespace kivo::diagnostics {
namespace {

// Parses `arguments`; "usage: <message>" for a UsageError, "browser" for a browser start.
std::string parsed(const std::vector<std::string>& texts, CommandLine* line = nullptr) {
    std::vector<const char*> arguments;
    for (const std::string& text : texts) {
        arguments.push_back(text.c_str());
    }
    if (!startsCommand(arguments)) {
        return "browser";
    }
    try {
        const CommandLine result = parseCommandLine(arguments);
        if (line != nullptr) {
            *line = result;
        }
        return "ok";
    } catch (const UsageError& error) {
        return std::string("usage: ") + error.what();
    }
}

TEST(CommandLine, OnlyTheHostsOwnFirstArgumentStartsACommand) {
    for (const auto& c : testing::testCases("diagnostics/command-lines.json", "arguments")) {
        EXPECT_EQ(parsed(c[0].get<std::vector<std::string>>()), c[1]) << c[0];
    }

    CommandLine line;
    ASSERT_EQ(
        parsed({"--diagnose", "--name", "Jane", "--aki", "ab", "--json", "--aki", "cd"}, &line),
        "ok");
    EXPECT_EQ(line.command, Command::diagnose);
    EXPECT_TRUE(line.json);
    EXPECT_EQ(line.signer.akis, (std::vector<std::string>{"ab", "cd"}));
    const certs::UserDetails details = line.signer.userDetails();
    EXPECT_EQ(details.name, "Jane");
    EXPECT_FALSE(details.email.has_value());
    EXPECT_FALSE(SignerOptions{}.userDetails().aki.has_value());
}

TEST(CommandLine, HelpDescribesEveryOption) {
    const std::string help = helpText();
    for (const char* option : {"--diagnose", "--json", "--self-test", "--help", "--version",
                               "--name", "--email", "--abn", "--aki", "KIVO_PINENTRY"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace kivo::diagnostics
