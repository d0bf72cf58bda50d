#include "foundation/PrivateKey.h"

#include <array>
#include <utility>

#include "foundation/SigningError.h"

namespace kivo::foundation {

Bytes signData(std::span<const std::uint8_t> data, PrivateKey& key, SignatureAlgorithm algorithm) {
    if (!key.isAlgorithmSupported(algorithm)) {
        throw SigningError(error_code::unsupportedAlgorithm, "Signing algorithm is not supported");
    }
    Bytes signature = key.sign(algorithm, data);
    if (signature.empty()) {
        throw SigningError(error_code::internal, "Signature data is nil");
    }
    return signature;
}

SigningError signingFailure(std::string_view reason) {
    return SigningError(error_code::internal, "Failed to create signature: " + std::string(reason));
}

std::string securityStatusName(std::int32_t status) {
    namespace s = security_status;
    static constexpr std::array<std::pair<std::int32_t, const char*>, 12> names{{
        {s::success, "errSecSuccess"},
        {s::unimplemented, "errSecUnimplemented"},
        {s::param, "errSecParam"},
        {s::userCanceled, "errSecUserCanceled"},
        {s::badReq, "errSecBadReq"},
        {s::notAvailable, "errSecNotAvailable"},
        {s::authFailed, "errSecAuthFailed"},
        {s::duplicateItem, "errSecDuplicateItem"},
        {s::itemNotFound, "errSecItemNotFound"},
        {s::interactionNotAllowed, "errSecInteractionNotAllowed"},
        {s::decode, "errSecDecode"},
        {s::verifyFailed, "errSecVerifyFailed"},
    }};
    for (const auto& [code, name] : names) {
        if (code == status) {
            return name;
        }
    }
    return "Unknown code (" + std::to_string(status) + ")";
}

}  // namespace kivo::foundation
