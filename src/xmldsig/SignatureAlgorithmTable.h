#pragma once

// The signature algorithms a sign request may name, and what each one writes into a signature.

#include <optional>
#include <string>
#include <string_view>

#include "certs/Digests.h"
#include "certs/SignaturePrimitive.h"

namespace kivo::xmldsig {

struct SignatureAlgorithmEntry {
    certs::SignatureAlgorithm keyAlgorithm;
    std::string_view signatureMethod;
    std::string_view digestMethod;
    certs::DigestAlgorithm digest;
};

// "RSA_SHA1", "RSA_SHA256", "RSA_SHA512"; "default" and no name at all mean RSA_SHA256. Names
// are compared exactly. Any other name throws SigningError 108
// "Unsupported signature algorithm: <name>".
const SignatureAlgorithmEntry& signatureAlgorithmNamed(const std::optional<std::string>& name);

}  // namespace kivo::xmldsig
