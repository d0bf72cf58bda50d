#include "foundation/PrivateKey.h"

#include <utility>

#include "foundation/SigningError.h"

namespace kivo::foundation {

Bytes signData(std::span<const std::uint8_t> data, PrivateKey& key, SignatureAlgorithm algorithm) {
    // Tokens hide a private key's limits until the login that signing brings, and until then a
    // key counts as able to use every algorithm; so only a key readable without login (a token
    // that needs none) reaches this, and SoftHSM2, which the tests use, has none such.
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
