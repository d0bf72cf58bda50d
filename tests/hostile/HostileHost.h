#pragma once

// The checks every hostile case makes on a run of the built host, sign requests for the shared
// fixture's signer built without a JSON library, and the texts of tests/data/hostile.

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "foundation/Encodings.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"
#include "support/TestCases.h"

namespace kivo::testing {

// Peak memory the README allows one request: this many times its size plus a fixed allowance
// for the process itself. Trees of tiny elements come close to the first figure.
inline constexpr long memoryPerRequestByte = 48;
inline constexpr long ordinaryMemoryPerRequestByte = 16;
inline constexpr long baseMemoryKiB = 96 * 1024;

inline std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text.append(piece);
    }
    return text;
}

// The bytes a text of tests/data/hostile stands for. A text is a string, {"base64": bytes that
// are not UTF-8}, or a list of parts: strings, {"base64": ...} and [text, count], the text count
// times with {n} numbered from 0. `names` are replaced in the strings.
inline std::string textBytes(const nlohmann::json& text,
                             const std::map<std::string, std::string>& names = {}) {
    if (text.is_string()) {
        return withPlaceholders(text, names);
    }
    if (text.is_object()) {
        const auto raw = foundation::base64DecodeStrict(text["base64"].get<std::string>()).value();
        return std::string(raw.begin(), raw.end());
    }
    std::string bytes;
    for (const nlohmann::json& part : text) {
        std::map<std::string, std::string> numbered = names;
        for (int n = 0; part.is_array() && n < part[1].get<int>(); ++n) {
            numbered["{n}"] = std::to_string(n);
            bytes += textBytes(part[0], numbered);
        }
        bytes += part.is_array() ? "" : textBytes(part, names);
    }
    return bytes;
}

// The fixture's token and pinentry, with a home of the run's own.
inline Environment signingEnvironment() {
    Environment environment = signingFixture().environment();
    environment.erase("HOME");
    return environment;
}

// One strict-JSON answer and nothing else written: "ok" and exit 0 when `code` is 0, otherwise
// an error of exactly three keys, exit 1 and the error in the log.
inline void expectRun(const HostRun& run, std::int64_t code, std::string_view messageStart) {
    ASSERT_EQ(run.answers.size(), 1u) << "no answer; exit " << run.exitStatus.value_or(-1);
    // Invalid UTF-8 or trailing bytes make the parse fail.
    const nlohmann::json answer = nlohmann::json::parse(run.answers[0], nullptr, false);
    ASSERT_FALSE(answer.is_discarded()) << "not strict JSON: " << run.answers[0].substr(0, 300);
    EXPECT_EQ(run.trailing.size(), 0u) << run.trailing.substr(0, 100);
    EXPECT_EQ(run.exitStatus, code == 0 ? 0 : 1);
    const std::string shown = answer.dump().substr(0, 300);
    if (code == 0) {
        EXPECT_EQ(answer.value("result", ""), "ok") << shown;
        return;
    }
    EXPECT_EQ(answer.size(), 3u) << shown;
    EXPECT_EQ(answer.value("error_code", 0), code) << shown;
    EXPECT_TRUE(answer.value("error_message", "").starts_with(messageStart)) << shown;
    EXPECT_NE(run.log.find("ERROR SigningError (" + std::to_string(code) + "): "),
              std::string::npos);
}

inline void expectMemoryBounded(const HostRun& run,
                                [[maybe_unused]] long perRequestByte = memoryPerRequestByte) {
    ASSERT_TRUE(run.peakMemoryKiB.has_value());
#if !defined(__SANITIZE_ADDRESS__)  // shadow memory and quarantine make sanitized figures moot
    const long bound = perRequestByte * static_cast<long>(run.requestBytes / 1024) + baseMemoryKiB;
    EXPECT_LE(*run.peakMemoryKiB, bound)
        << "request of " << run.requestBytes << " bytes peaked at " << *run.peakMemoryKiB << " KiB";
#endif
}

inline std::string signableDocument(std::string_view counterpart, std::string_view rendered) {
    return "<Contract><CounterpartData>" + std::string(counterpart) +
           "</CounterpartData><RenderedData>" + std::string(rendered) +
           "</RenderedData></Contract>";
}

// Built without a JSON library, so that a huge request costs little more than its own size.
inline std::string signRequest(std::string_view document) {
    return tools::frameMessage(
        R"({"type":"sign","user_details":)" +
        signerDetails("Jane Citizen", signingFixture().ca.subjectKeyIdHex).dump() +
        R"(,"xml_data":[{"id":"doc","data":")" +
        foundation::base64Encode(foundation::byteView(document)) + R"("}]})");
}

}  // namespace kivo::testing
