#pragma once

// The PKCS#1 v1.5 DigestInfo of a message: what a token that offers only raw RSA signing
// (CKM_RSA_PKCS) signs to give the same signature as its hash-and-sign mechanisms.

#include <cstdint>
#include <span>

#include "foundation/PrivateKey.h"

namespace kivo::platform {

// DER DigestInfo { algorithm, digest of `message` } for the algorithm's hash.
foundation::Bytes digestInfo(foundation::SignatureAlgorithm algorithm,
                             std::span<const std::uint8_t> message);

}  // namespace kivo::platform
