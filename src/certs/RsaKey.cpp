#include "certs/RsaKey.h"

#include <optional>
#include <string_view>
#include <utility>

#include "foundation/SigningError.h"

namespace kivo::certs {

RsaPublicKeyComponents rsaPublicKeyComponents(const asn1::X509Certificate& certificate) {
    using foundation::SigningError;
    const auto publicKey = certificate.publicKey();
    if (!publicKey) {
        throw SigningError(foundation::error_code::certificateIncomplete,
                           "Certificate does not contain a public key");
    }
    const auto algorithm = publicKey->algorithmOid();
    auto components = algorithm == asn1::X509PublicKey::OID_RSAEncryption
                          ? publicKey->rsaComponents()
                          : std::nullopt;
    if (!components) {
        throw SigningError(foundation::error_code::certificateIncomplete,
                           "Certificate does not contain an RSA key");
    }
    return {std::move(components->first), std::move(components->second)};
}

}  // namespace kivo::certs
