#include "foundation/PrivateKey.h"

#include <utility>

#include "foundation/SigningError.h"

namespace kivo::foundation {

Bytes signData(std::span<const std::uint8_t> data, PrivateKey& key, SignatureAlgorithm algorithm) {
    // Tokens hide a private key's own limits until the login that signing brings, so before it
    // this sees what a token tells anyone: the mechanisms it offers (a token offering no RSA
    // signing fails here), and the limits of a key readable without login.
    if (!key.isAlgorithmSupported(algorithm)) {
        throw SigningError(error_code::unsupportedAlgorithm, "Signing algorithm is not supported");
    }
    Bytes signature = key.sign(algorithm, data);
    // Only a module that reports success with no signature bytes gets here; SoftHSM2, NSS's
    // softoken and the TPM's module never do, so no test reaches it.
    if (signature.empty()) {
        throw SigningError(error_code::internal, "Signature data is nil");
    }
    return signature;
}

SigningError signingFailure(std::string_view reason) {
    return SigningError(error_code::internal, "Failed to create signature: " + std::string(reason));
}

}  // namespace kivo::foundation
