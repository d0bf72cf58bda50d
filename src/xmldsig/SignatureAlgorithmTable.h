#pragma once

// The signature algorithms a sign request may name, and what each one writes into a signature.

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Digests.h"
#include "foundation/PrivateKey.h"

namespace kivo::xmldsig {

struct SignatureAlgorithmEntry {
    foundation::SignatureAlgorithm keyAlgorithm;
    std::string_view signatureMethod;
    std::string_view digestMethod;
    foundation::DigestAlgorithm digest;
};

// "RSA_SHA1", "RSA_SHA256", "RSA_SHA512"; "default" and no name at all mean RSA_SHA256. Names
// are compared exactly. Any other name throws SigningError 108
// "Unsupported signature algorithm: <name>".
const SignatureAlgorithmEntry& signatureAlgorithmNamed(const std::optional<std::string>& name);

// The entry whose signature method URI this is; none for a method this host never writes.
const SignatureAlgorithmEntry* signatureAlgorithmWithMethod(std::string_view signatureMethod);

}  // namespace kivo::xmldsig
