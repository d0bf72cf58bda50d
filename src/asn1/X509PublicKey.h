#pragma once

// Read-only view of a SubjectPublicKeyInfo: the key algorithm and its parameters and, for RSA,
// the modulus and public exponent. Nothing is verified; every operation answers absent when the
// tree does not have the shape it needs.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "asn1/ASN1Object.h"

namespace kivo::asn1 {

class X509PublicKey {
  public:
    static constexpr std::string_view OID_ECPublicKey = "1.2.840.10045.2.1";
    static constexpr std::string_view OID_RSAEncryption = "1.2.840.113549.1.1.1";

    // `pkBlock` is the SubjectPublicKeyInfo SEQUENCE; it must not be null.
    explicit X509PublicKey(std::shared_ptr<ASN1Object> pkBlock);

    std::optional<std::string> algorithmOid() const;
    // rsaEncryption, ecPublicKey, ... from the OID name table.
    std::optional<std::string> algorithmName() const;
    // The parameters when they are text: the curve OID of an EC key; none for RSA (NULL).
    std::optional<std::string> algorithmParameters() const;
    // RSA only: (modulus, public exponent), each without leading zero octets.
    std::optional<std::pair<Bytes, Bytes>> rsaComponents() const;

  private:
    std::shared_ptr<ASN1Object> pkBlock_;
};

}  // namespace kivo::asn1
