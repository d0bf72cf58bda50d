#include "xmldsig/SignatureAlgorithmTable.h"

#include <array>
#include <utility>

#include "foundation/SigningError.h"
#include "xmldsig/DsigIdentifiers.h"

namespace kivo::xmldsig {

namespace {

namespace ids = identifiers;
using foundation::DigestAlgorithm;
using foundation::SignatureAlgorithm;

constexpr SignatureAlgorithmEntry rsaSha1{SignatureAlgorithm::rsaPkcs1Sha1, ids::rsaSha1, ids::sha1,
                                          DigestAlgorithm::sha1};
constexpr SignatureAlgorithmEntry rsaSha256{SignatureAlgorithm::rsaPkcs1Sha256, ids::rsaSha256,
                                            ids::sha256, DigestAlgorithm::sha256};
constexpr SignatureAlgorithmEntry rsaSha512{SignatureAlgorithm::rsaPkcs1Sha512, ids::rsaSha512,
                                            ids::sha512, DigestAlgorithm::sha512};

constexpr std::array<std::pair<std::string_view, const SignatureAlgorithmEntry*>, 4> byName{{
    {"RSA_SHA1", &rsaSha1},
    {"RSA_SHA256", &rsaSha256},
    {"default", &rsaSha256},
    {"RSA_SHA512", &rsaSha512},
}};

}  // namespace

const SignatureAlgorithmEntry& signatureAlgorithmNamed(const std::optional<std::string>& name) {
    if (!name) {
        return rsaSha256;
    }
    for (const auto& [entryName, entry] : byName) {
        if (entryName == *name) {
            return *entry;
        }
    }
    throw foundation::SigningError(foundation::error_code::unsupportedAlgorithm,
                                   "Unsupported signature algorithm: " + *name);
}

}  // namespace kivo::xmldsig
