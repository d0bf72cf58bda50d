#pragma once

// The signing certificate's RSA public key as the signatures' key information carries it. Reading
// it also confirms that the certificate holds an RSA key at all: the host signs only with RSA.

#include "asn1/X509Certificate.h"
#include "foundation/PrivateKey.h"

namespace kivo::certs {

using foundation::Bytes;

// Big-endian INTEGER contents without leading zero octets (65537 is 01 00 01).
struct RsaPublicKeyComponents {
    Bytes modulus;
    Bytes exponent;
};

// Throws foundation::SigningError 105 "Certificate does not contain a public key" when the
// certificate has none, and 105 "Certificate does not contain an RSA key" when the key is not
// rsaEncryption or its modulus and exponent cannot be read.
RsaPublicKeyComponents rsaPublicKeyComponents(const asn1::X509Certificate& certificate);

}  // namespace kivo::certs
