#pragma once

// Checks an RSA PKCS#1 v1.5 signature with the public key of an X.509 certificate (OpenSSL).

#include <cstdint>
#include <span>

#include "foundation/Digests.h"

namespace kivo::foundation {

// True when `signature` is the certificate key's signature over `data`, hashed with `digest`;
// false for any other signature, a certificate OpenSSL cannot read, or a key that is not RSA.
bool verifiesWithCertificate(std::span<const std::uint8_t> certificateDer, DigestAlgorithm digest,
                             std::span<const std::uint8_t> data,
                             std::span<const std::uint8_t> signature);

}  // namespace kivo::foundation
