#include "certs/SignaturePrimitive.h"

#include <gtest/gtest.h>

#include "protocol/SigningError.h"

namespace kivo::certs {
namespace {

// A key store stand-in whose answers the test chooses; it counts signing requests.
class ScriptedKey : public PrivateKey {
  public:
    bool supported = true;
    SignatureOutcome outcome;
    int signingCalls = 0;

    bool isAlgorithmSupported(SignatureAlgorithm) const override { return supported; }
    SignatureOutcome createSignature(SignatureAlgorithm, std::span<const std::uint8_t>) override {
        ++signingCalls;
        return outcome;
    }
};

TEST(SignaturePrimitiveTest, StoreAnswersMapToSignatureOrDocumentedError) {
    struct Case {
        bool supported;
        SignatureOutcome outcome;
        std::int64_t code;  // 0: success
        std::string message;
        int signingCalls;
    };
    const std::vector<Case> cases = {
        {true, {Bytes{1, 2}, std::nullopt}, 0, "", 1},
        {false, {Bytes{1}, std::nullopt}, 108, "Signing algorithm is not supported", 0},
        {true, {std::nullopt, "cancelled"}, 100, "Failed to create signature: cancelled", 1},
        {true, {Bytes{9}, "device removed"}, 100, "Failed to create signature: device removed", 1},
        {true, {std::nullopt, std::nullopt}, 100, "Signature data is nil", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ScriptedKey key;
        key.supported = c.supported;
        key.outcome = c.outcome;
        try {
            EXPECT_EQ(signData(Bytes{1}, key, SignatureAlgorithm::rsaPkcs1Sha256), (Bytes{1, 2}));
            EXPECT_EQ(c.code, 0);
        } catch (const protocol::SigningError& error) {
            EXPECT_EQ(error.code(), c.code);
            EXPECT_EQ(error.message(), c.message);
        }
        EXPECT_EQ(key.signingCalls, c.signingCalls);
    }
}

TEST(SignaturePrimitiveTest, StatusNames) {
    EXPECT_EQ(securityStatusName(0), "errSecSuccess");
    EXPECT_EQ(securityStatusName(-25300), "errSecItemNotFound");
    EXPECT_EQ(securityStatusName(-67808), "errSecVerifyFailed");
    EXPECT_EQ(securityStatusName(-1), "Unknown code (-1)");
    EXPECT_EQ(securityStatusName(INT32_MIN), "Unknown code (-2147483648)");
}

}  // namespace
}  // namespace kivo::certs
