// Process-level cases as data: each row of tests/data/host/process-cases.json sends its requests
// to a host started with the shared signing fixture, then checks the answers (an answer written
// without null values is the whole answer; null stands for any value), the exit status, the
// dialogs the pinentry showed (how many, or each one's kind and text) and the commands it got,
// and the log.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

TEST(ProcessCases, EachRowIsAnsweredLoggedAndEndedAsWritten) {
    SigningFixture& fixture = signingFixture();
    const std::string data = KIVO_TEST_DATA_DIR;
    for (const json& row : json::parse(readFile(data + "/host/process-cases.json"))) {
        SCOPED_TRACE(row.value("name", "?"));
        Environment environment = fixture.environment();
        const json changes = row.value("environment", json::object());
        for (const auto& [name, value] : changes.items()) {
            environment[name] =
                std::regex_replace(value.get<std::string>(), std::regex(R"(^\$\{DATA\})"), data);
        }
        std::vector<PinAnswerScript> answers;
        const json pin = PinAnswerScript::pin(fixture.token->userPin()).line;
        for (const std::string line : row.value("pinentry", json(3, pin))) {
            answers.push_back({line});
        }
        fixture.pinentry.answer(answers);
        std::string bytes;
        for (const json& request : row["requests"]) {
            bytes += tools::frameMessage(request.dump());
        }
        const json& expected = row["answers"];
        const HostRun run =
            runHost(bytes, environment, row.value("arguments", std::vector<std::string>{}),
                    expected.size());
        ASSERT_EQ(run.answers.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const json answer = json::parse(run.answers[i]);
            bool whole = true;
            for (const auto& [key, value] : expected[i].items()) {
                whole = whole && !value.is_null();
                EXPECT_TRUE(answer.contains(key) && (value.is_null() || answer[key] == value))
                    << key << " in " << answer.dump();
            }
            EXPECT_TRUE(!whole || answer.size() == expected[i].size()) << answer.dump();
        }
        EXPECT_EQ(run.trailing, "");
        EXPECT_EQ(run.exitStatus, row.value("exit", 0));
        expectLogLinesWellFormed(run.log);
        for (const std::string line : row.value("log", json::array())) {
            EXPECT_NE(run.log.find(line), std::string::npos) << line << " in\n" << run.log;
        }
        for (const std::string text : row.value("logAbsent", json::array())) {
            EXPECT_EQ(("\n" + run.log).find(text), std::string::npos) << run.log;
        }
        const json& dialogs = row.value("dialogs", json());
        if (dialogs.is_number()) {
            EXPECT_EQ(fixture.pinentry.questionsAsked(), dialogs);
        }
        for (std::size_t i = 0; dialogs.is_array() && i < dialogs.size(); ++i) {
            ASSERT_EQ(fixture.pinentry.dialogs().size(), dialogs.size());
            EXPECT_EQ(fixture.pinentry.dialogs()[i].kind, dialogs[i][0]);
            EXPECT_EQ(fixture.pinentry.dialogs()[i].description, dialogs[i][1]);
        }
        const std::vector<std::string> commands = fixture.pinentry.commands();
        const json counts = row.value("pinentryCommands", json::object());
        for (const auto& [command, count] : counts.items()) {
            EXPECT_EQ(std::count(commands.begin(), commands.end(), command), count) << command;
        }
    }
}

}  // namespace
}  // namespace kivo::testing
