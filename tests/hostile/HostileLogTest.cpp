// The log against hostile requests: text a request brings along can neither forge a line nor hide
// control characters, and a huge verbose request cannot grow the log without bound.

#include "HostileHost.h"

namespace kivo::testing {
namespace {

using nlohmann::json;

json signer() {
    return signerDetails("Jane Citizen", signingStore().ca.subjectKeyIdHex);
}

TEST(HostileLog, RequestTextCannotForgeLines) {
    const std::string forged = "06-12-2025 09:00:00.000 INFO  Forged";
    struct Case {
        const char* field;
        std::string separator;  // what the request puts before the forged line
        std::string escaped;    // how the log shows it
        std::function<json(const std::string& text)> request;
        std::int64_t code;
    };
    // A sign request without documents whose user_details field `key` is `value` + the text.
    const auto inDetails = [](const std::string& key, const std::string& value) {
        return [=](const std::string& text) {
            json details = signer();
            details[key] = key == "aki" ? json::array({value + text}) : json(value + text);
            return json{{"type", "sign"}, {"user_details", details}, {"xml_data", json::array()}};
        };
    };
    const std::vector<Case> cases{
        {"type", "\n", "\\n",
         [](auto& text) {
             return json{{"type", "version" + text}};
         },
         101},
        {"name", "\r\n", "\\r\\n", inDetails("name", "Jane"), 102},
        {"e-mail", "\u2028", "\\u2028", inDetails("email", "jane@example.com"), 102},
        {"ABN", "\u0085", "\\u0085", inDetails("abn", "51824753556"), 102},
        // This line quotes AKIs as JSON strings; the log keeps those escapes apart.
        {"AKI", "\x1b[2K\r", "\\\\u001b[2K\\\\r", inDetails("aki", "00"), 102},
        {"document id", "\u2029", "\\u2029",
         [](auto& text) {
             return json{{"type", "sign"},
                         {"user_details", signer()},
                         {"xml_data", {{{"id", "doc" + text}, {"data", "not base64!"}}}}};
         },
         104},
        {"algorithm name", "\n", "\\n",
         [&](auto& text) {
             return json{{"type", "sign"},
                         {"user_details", signer()},
                         {"xml_data", {xmlEntry("doc", signableDocument("c", "r"))}},
                         {"signature_algorithm", "RSA_SHA3" + text}};
         },
         108},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        const HostRun run = runHost(tools::frameMessage(c.request(c.separator + forged).dump()),
                                    signingStore().environment());
        ASSERT_EQ(run.answers.size(), 1u);
        EXPECT_EQ(json::parse(run.answers[0]).value("error_code", 0), c.code) << run.answers[0];
        expectLogLinesWellFormed(run.log);
        EXPECT_EQ(("\n" + run.log).find("\n" + forged), std::string::npos) << run.log;
        EXPECT_NE(run.log.find(c.escaped + forged), std::string::npos) << run.log;
    }
}

TEST(HostileLog, VerboseRequestOfFiveMegabytesGrowsTheLogByAtMostHalfAMebibyte) {
    const std::string line =
        "<Line n=\"1\">The parties agree to the terms in this schedule &amp; annex.</Line>\n";
    const std::string xml = signableDocument("c", repeated(line, 500000 / line.size()));
    json documents = json::array();
    for (int i = 0; i < 8; ++i) {
        documents.push_back(xmlEntry("doc" + std::to_string(i), xml));
    }
    const json request{
        {"type", "sign"}, {"verbose", "ON"}, {"user_details", signer()}, {"xml_data", documents}};
    const HostRun run = runHost(tools::frameMessage(request.dump()), signingStore().environment());
    expectRun(run, 0, "");
    // The log was empty: the request's DEBUG lines (512 KiB) and its INFO lines.
    EXPECT_LE(run.log.size(), 512u * 1024 + 8 * 1024);
    expectLogLinesWellFormed(run.log);
    EXPECT_NE(run.log.find("DEBUG Request message = {\"type\":\"sign\""), std::string::npos);
    EXPECT_NE(run.log.find(" bytes left out]\n"), std::string::npos);
    EXPECT_NE(run.log.find("DEBUG Further DEBUG lines of this request left out: they passed "
                           "524288 bytes\n"),
              std::string::npos);
    for (const std::string& text : linesOf(run.log)) {
        EXPECT_LE(text.size(), 64u * 1024 + 100);
    }
}

}  // namespace
}  // namespace kivo::testing
