#include "xmldsig/SignatureAlgorithmTable.h"

#include <array>
#include <utility>

#include "foundation/SigningError.h"

namespace kivo::xmldsig {

namespace {

using foundation::DigestAlgorithm;
using foundation::SignatureAlgorithm;

constexpr SignatureAlgorithmEntry rsaSha1{
    SignatureAlgorithm::rsaPkcs1Sha1, "http://www.w3.org/2000/09/xmldsig#rsa-sha1",
    "http://www.w3.org/2000/09/xmldsig#sha1", DigestAlgorithm::sha1};
constexpr SignatureAlgorithmEntry rsaSha256{
    SignatureAlgorithm::rsaPkcs1Sha256, "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
    "http://www.w3.org/2001/04/xmlenc#sha256", DigestAlgorithm::sha256};
constexpr SignatureAlgorithmEntry rsaSha512{
    SignatureAlgorithm::rsaPkcs1Sha512, "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512",
    "http://www.w3.org/2001/04/xmlenc#sha512", DigestAlgorithm::sha512};

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

const SignatureAlgorithmEntry* signatureAlgorithmWithMethod(std::string_view signatureMethod) {
    for (const auto& [entryName, entry] : byName) {
        if (entry->signatureMethod == signatureMethod) {
            return entry;
        }
    }
    return nullptr;
}

}  // namespace kivo::xmldsig
