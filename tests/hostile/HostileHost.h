#pragma once

// One run of the built host from first byte to exit, the checks every hostile case makes on it,
// and a token holding a signer for the cases that must reach the signing step.

#include <gtest/gtest.h>
#include <malloc.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "foundation/Encodings.h"
#include "support/HostSession.h"
#include "support/KeyStoreFixtures.h"

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

struct HostRun {
    std::vector<std::string> answers;
    std::string trailing;           // every byte written after the answer
    std::optional<int> exitStatus;  // none: the host had to be killed
    std::optional<long> peakMemoryKiB;
    std::string log;
    std::string stderrText;
    std::size_t requestBytes = 0;
};

// `bytes` is freed once written, so that this process stays small while the host is measured.
// Like a browser, the run keeps the host's input open while it waits for the answer to a whole
// request; a request cut short ends only with the input.
inline HostRun runHost(std::string bytes, const Environment& environment = {},
                       std::vector<std::string> arguments = {}) {
    // Linux hands a spawner's peak resident size on to a child started by posix_spawn, so this
    // process gives back freed memory and resets its peak first.
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    HostRun run;
    run.requestBytes = bytes.size();
    HostSession host(environment, std::move(arguments));
    std::uint32_t announced = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) {
        announced |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    const bool whole = bytes.size() >= 4 && announced <= bytes.size() - 4;
    // The host may stop reading early: an error ends it.
    host.process().sendRaw(bytes);
    bytes = std::string();
    if (!whole) {
        host.process().closeInput();
    }
    constexpr std::chrono::seconds timeout(300);
    if (std::optional<std::string> answer = host.process().readMessage(timeout)) {
        run.answers.push_back(std::move(*answer));
    }
    host.process().closeInput();
    run.trailing = host.process().readRemainingOutput(timeout);
    run.exitStatus = host.finish();
    run.peakMemoryKiB = host.process().peakMemoryKiB();
    run.log = host.logText();
    run.stderrText = readFile(host.home() / "host-stderr.txt");
    return run;
}

// Invalid UTF-8 or trailing bytes in an answer make it fail.
inline std::optional<nlohmann::json> strictJson(const std::string& answer) {
    try {
        return nlohmann::json::parse(answer);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

// One strict-JSON answer and nothing else written: "ok" and exit 0 when `code` is 0, otherwise
// an error of exactly three keys, exit 1 and the error in the log.
inline void expectRun(const HostRun& run, std::int64_t code, std::string_view messageStart) {
    ASSERT_EQ(run.answers.size(), 1u) << "no answer; exit " << run.exitStatus.value_or(-1);
    const std::optional<nlohmann::json> answer = strictJson(run.answers[0]);
    ASSERT_TRUE(answer.has_value()) << "not strict JSON: " << run.answers[0].substr(0, 300);
    EXPECT_EQ(run.trailing.size(), 0u) << run.trailing.substr(0, 100);
    if (code == 0) {
        EXPECT_EQ(answer->value("result", ""), "ok") << answer->dump().substr(0, 300);
        EXPECT_EQ(run.exitStatus, 0);
        return;
    }
    EXPECT_EQ(answer->size(), 3u) << answer->dump().substr(0, 300);
    EXPECT_EQ(answer->value("result", ""), "error");
    EXPECT_EQ(answer->value("error_code", 0), code) << answer->dump().substr(0, 300);
    const std::string message = answer->value("error_message", "");
    EXPECT_TRUE(message.starts_with(messageStart)) << message.substr(0, 300);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.log.find("ERROR SigningError (" + std::to_string(code) + "): "),
              std::string::npos);
    EXPECT_NE(run.log.find("INFO  Application terminating due to error\n"), std::string::npos);
}

inline void expectMemoryBounded(const HostRun& run, long perRequestByte = memoryPerRequestByte) {
    ASSERT_TRUE(run.peakMemoryKiB.has_value());
#if defined(__SANITIZE_ADDRESS__)
    // Shadow memory and quarantine make sanitized figures meaningless.
    (void)perRequestByte;
    return;
#endif
    const long bound = perRequestByte * static_cast<long>(run.requestBytes / 1024) + baseMemoryKiB;
    EXPECT_LE(*run.peakMemoryKiB, bound)
        << "request of " << run.requestBytes << " bytes peaked at " << *run.peakMemoryKiB << " KiB";
}

struct SigningStore {
    TempDir dir;
    TestCa ca = makeCa(dir / "ca", "Kivo Hostile Test CA");
    IssuedCertificate signer = issueCertificate(dir / "issued", ca, CertificateFields{}, "jane");
    TestHome config{dir / "config-home"};
    SoftHsm hsm{dir / "softhsm"};
    ScriptedPinentry pinentry{dir / "pinentry"};

    Environment environment() const {
        Environment result = mergedEnvironments({hsm.environment(), pinentry.environment()});
        result["XDG_CONFIG_HOME"] = config.environment().at("XDG_CONFIG_HOME");
        return result;
    }
};

// Made once per test program: key generation and token set-up are the slow part.
inline const SigningStore& signingStore() {
    static const std::unique_ptr<SigningStore> store = [] {
        auto made = std::make_unique<SigningStore>();
        made->hsm.addToken("Kivo Hostile").importIdentity(made->signer, "01");
        return made;
    }();
    // More PIN answers than the program sends sign requests.
    store->pinentry.answer(std::vector<PinAnswerScript>(100, PinAnswerScript::pin("1234")));
    return *store;
}

inline std::string signableDocument(std::string_view counterpart, std::string_view rendered,
                                    std::string_view prolog = "") {
    return std::string(prolog) + "<Contract><CounterpartData>" + std::string(counterpart) +
           "</CounterpartData><RenderedData>" + std::string(rendered) +
           "</RenderedData></Contract>";
}

// Built without a JSON library, so that a huge request costs little more than its own size.
inline std::string signRequest(std::string_view document) {
    const CertificateFields signer;
    return tools::frameMessage(
        R"({"type":"sign","user_details":{"name":")" + signer.commonName.value() +
        R"(","email":")" + signer.email.value() + R"(","abn":")" + signer.abn.value() +
        R"(","aki":[")" + signingStore().ca.subjectKeyIdHex +
        R"("]},"xml_data":[{"id":"doc","data":")" +
        foundation::base64Encode(foundation::byteView(document)) + R"("}]})");
}

}  // namespace kivo::testing
