// Process-level cases as data: each row of tests/data/host/process-cases.json sends its requests
// to a host started with the shared signing fixture, then checks the answers (an answer written
// without null values is the whole answer; null stands for any value), the exit status, the
// dialogs the pinentry showed and the log.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
            std::string text = value;
            if (text.starts_with("${DATA}")) {
                text.replace(0, 7, data);
            }
            environment[name] = text;
        }
        std::vector<PinAnswerScript> answers(3, PinAnswerScript::pin(fixture.token->userPin()));
        if (row.contains("pinentry")) {
            answers = {{row["pinentry"][0].get<std::string>()}};
        }
        fixture.pinentry.answer(answers);
        std::string bytes;
        for (const json& request : row["requests"]) {
            bytes += tools::frameMessage(request.dump());
        }
        const json& expected = row["answers"];
        const HostRun run = runHost(bytes, environment, expected.size());
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
        if (row.contains("dialogs")) {
            EXPECT_EQ(fixture.pinentry.questionsAsked(), row["dialogs"]);
        }
    }
}

}  // namespace
}  // namespace kivo::testing
