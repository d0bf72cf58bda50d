#include "certs/SignaturePrimitive.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/SigningError.h"

namespace kivo::certs {
namespace {

using protocol::SigningError;

// A key store stand-in whose answers the test chooses; it records what it was asked.
class ScriptedKey : public PrivateKey {
  public:
    std::vector<SignatureAlgorithm> supported;
    SignatureOutcome outcome;
    std::vector<SignatureAlgorithm> signingCalls;
    Bytes lastData;

    bool isAlgorithmSupported(SignatureAlgorithm algorithm) const override {
        return std::find(supported.begin(), supported.end(), algorithm) != supported.end();
    }
    SignatureOutcome createSignature(SignatureAlgorithm algorithm,
                                     std::span<const std::uint8_t> data) override {
        signingCalls.push_back(algorithm);
        lastData.assign(data.begin(), data.end());
        return outcome;
    }
};

TEST(SignaturePrimitiveTest, ReturnsTheStoreSignatureForTheRequestedAlgorithm) {
    ScriptedKey key;
    key.supported = {SignatureAlgorithm::rsaPkcs1Sha512};
    key.outcome.signature = Bytes{1, 2, 3};
    const Bytes data{'a', 'b'};
    EXPECT_EQ(signData(data, key, SignatureAlgorithm::rsaPkcs1Sha512), (Bytes{1, 2, 3}));
    EXPECT_EQ(key.signingCalls, std::vector{SignatureAlgorithm::rsaPkcs1Sha512});
    EXPECT_EQ(key.lastData, data);
}

TEST(SignaturePrimitiveTest, FailuresMapToDocumentedErrors) {
    struct Case {
        const char* name;
        bool supported;
        std::optional<Bytes> signature;
        std::optional<std::string> error;
        std::int64_t code;
        std::string message;
        std::size_t signingCalls;
    };
    const std::vector<Case> cases = {
        {"unsupported: never asked to sign", false, Bytes{1}, std::nullopt, 108,
         "Signing algorithm is not supported", 0},
        {"store error", true, std::nullopt, "The operation was cancelled", 100,
         "Failed to create signature: The operation was cancelled", 1},
        {"error wins over bytes", true, Bytes{9}, "device removed", 100,
         "Failed to create signature: device removed", 1},
        {"neither bytes nor error", true, std::nullopt, std::nullopt, 100, "Signature data is nil",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedKey key;
        if (c.supported) {
            key.supported = {SignatureAlgorithm::rsaPkcs1Sha256};
        }
        key.outcome = {c.signature, c.error};
        try {
            signData(Bytes{1}, key, SignatureAlgorithm::rsaPkcs1Sha256);
            ADD_FAILURE() << "signData did not throw";
        } catch (const SigningError& error) {
            EXPECT_EQ(error.code(), c.code);
            EXPECT_EQ(error.message(), c.message);
        }
        EXPECT_EQ(key.signingCalls.size(), c.signingCalls);
    }
}

TEST(SignaturePrimitiveTest, StatusNames) {
    const std::vector<std::pair<std::int32_t, std::string>> names = {
        {0, "errSecSuccess"},
        {-4, "errSecUnimplemented"},
        {-50, "errSecParam"},
        {-128, "errSecUserCanceled"},
        {-909, "errSecBadReq"},
        {-25291, "errSecNotAvailable"},
        {-25293, "errSecAuthFailed"},
        {-25299, "errSecDuplicateItem"},
        {-25300, "errSecItemNotFound"},
        {-25308, "errSecInteractionNotAllowed"},
        {-26275, "errSecDecode"},
        {-67808, "errSecVerifyFailed"},
        {-1, "Unknown code (-1)"},
        {25300, "Unknown code (25300)"},
        {INT32_MIN, "Unknown code (-2147483648)"},
    };
    for (const auto& [status, name] : names) {
        EXPECT_EQ(securityStatusName(status), name) << status;
    }
}

}  // namespace
}  // namespace kivo::certs
