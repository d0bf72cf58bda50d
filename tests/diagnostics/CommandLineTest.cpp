#include "diagnostics/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace kivo::diagnostics {
namespace {

// Parses `arguments`; "usage: <message>" for a UsageError, "browser" for a browser start.
std::string parsed(const std::vector<const char*>& arguments, CommandLine* line = nullptr) {
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
    const struct {
        std::vector<const char*> arguments;
        std::string outcome;
    } cases[] = {
        {{}, "browser"},
        {{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, "browser"},
        {{"/usr/lib/mozilla/native-messaging-hosts/com.kivo.signing.json", "signing@kivo.example"},
         "browser"},
        {{"--diagnosis"}, "browser"},
        {{"chrome-extension://x/", "--diagnose"}, "browser"},
        {{"--help"}, "ok"},
        {{"--version", "--json"}, "usage: unknown option '--json' for --version"},
        {{"--diagnose", "--json", "--aki", "AB", "--aki", "cd"}, "ok"},
        {{"--self-test", "--json"}, "usage: unknown option '--json' for --self-test"},
        {{"--diagnose", "--verbose"}, "usage: unknown option '--verbose' for --diagnose"},
        {{"--self-test", "--name"}, "usage: --name needs a value"},
        {{"--diagnose", "--abn", "1", "--abn", "2"}, "usage: --abn is given twice"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parsed(c.arguments), c.outcome) << (c.arguments.empty() ? "" : c.arguments[0]);
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
