#include "foundation/PrivateKey.h"

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

}  // namespace kivo::foundation
