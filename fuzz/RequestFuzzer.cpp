// Arbitrary bytes as the host's standard input: framing, JSON decoding and dispatch of every
// request they hold, as the request loop runs them, up to the point where a key store is asked
// for identities (the store here holds none). A failure must be one documented error answer,
// never a crash, and every answer must be a JSON object the browser can read. Every payload the
// fast reader for usual requests takes must decode to the same request the general reader gives.
//
// The frames are cut from the input in memory, the way the host's channel cuts them from its
// descriptor (a length the input does not fill takes what is left). Reading through a real
// descriptor costs a megabyte reservation per frame, which under AddressSanitizer makes each run
// a thousand times slower; descriptor reading is covered by the host process tests instead.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/KeyStore.h"
#include "foundation/Log.h"
#include "host/Framing.h"
#include "protocol/Dispatch.h"
#include "protocol/RequestServices.h"
#include "protocol/UsualRequestReader.h"

namespace {

// A key store with no identities anywhere, as on a machine without certificates.
class EmptyKeyStore final : public kivo::foundation::KeyStore {
  public:
    kivo::foundation::IdentityQueryResult querySystemIdentities() override {
        return {kivo::foundation::KeyStoreStatus::itemNotFound, {}};
    }
    std::vector<std::string> tokenIds() override { return {}; }
    kivo::foundation::IdentityQueryResult queryTokenIdentities(const std::string&) override {
        return {kivo::foundation::KeyStoreStatus::itemNotFound, {}};
    }
};

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Every answer is a framed JSON object; an error answer carries a documented code.
void checkAnswer(std::string_view framed) {
    require(framed.size() >= 4);
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(framed[i])) << (8 * i);
    }
    require(length == framed.size() - 4);
    const nlohmann::json answer = nlohmann::json::parse(framed.substr(4));
    require(answer.is_object());
    const std::string result = answer.at("result").get<std::string>();
    require(result == "ok" || result == "error");
    if (result == "error" && answer.contains("error_code")) {
        const auto code = answer.at("error_code").get<std::int64_t>();
        require(code >= 100 && code <= 108 && code != 106);
    }
}

// The two request readers agree wherever the fast one answers.
void checkReadersAgree(std::string_view payload) {
    const std::optional<kivo::protocol::JsonRequest> usual =
        kivo::protocol::readUsualRequest(payload);
    if (!usual) {
        return;
    }
    try {
        require(*usual == kivo::protocol::readGeneralRequest(payload));
    } catch (const kivo::protocol::RequestDecodeError&) {
        std::abort();  // taken by one reader, refused by the other
    }
}

class MemoryChannel final : public kivo::protocol::MessageChannel {
  public:
    explicit MemoryChannel(std::string_view input) : input_(input) {}

    std::optional<std::string> readRequestMessage() override {
        if (input_.size() < 4) {
            input_ = {};
            return std::nullopt;
        }
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            length |= static_cast<std::uint32_t>(static_cast<unsigned char>(input_[i])) << (8 * i);
        }
        input_.remove_prefix(4);
        const std::string_view payload = input_.substr(0, length);
        input_.remove_prefix(payload.size());
        checkReadersAgree(payload);
        return std::string(payload);
    }

    void writeResponseMessage(std::string_view payload) override {
        checkAnswer(kivo::host::lengthPrefix(payload.size()) + std::string(payload));
        ++answers_;
    }

    int answers() const { return answers_; }

  private:
    std::string_view input_;
    int answers_ = 0;
};

kivo::protocol::RequestServices emptyServices() {
    kivo::protocol::RequestServices services;
    services.versionFacts = {"1.0.0.1", "Linux version 6.1.0", "x86_64",
                             "/home/user/.local/share/applications"};
    services.openKeyStore = [] { return std::make_unique<EmptyKeyStore>(); };
    services.tokenClassId = "";
    services.now = [] {
        return std::chrono::system_clock::time_point(std::chrono::seconds(1'750'000'000));
    };
    services.setIdlePeriod = [](double) {};
    return services;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::foundation::setProcessLog(kivo::foundation::LogFile(std::nullopt));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kivo::protocol::RequestServices services = emptyServices();
    kivo::foundation::setVerboseLogging(false);
    MemoryChannel channel(std::string_view(reinterpret_cast<const char*>(data), size));
    int answered = 0;
    kivo::protocol::RequestOutcome outcome{};
    while ((outcome = kivo::protocol::processRequest(channel, services)) ==
           kivo::protocol::RequestOutcome::answered) {
        ++answered;
    }
    if (outcome == kivo::protocol::RequestOutcome::failed) {
        ++answered;
    }
    // One answer per request, and none for a request that never began.
    require(channel.answers() == answered);
    return 0;
}
