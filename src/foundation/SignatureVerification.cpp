#include "foundation/SignatureVerification.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace kivo::foundation {
namespace {

struct CertificateDeleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool verifiesWithCertificate(std::span<const std::uint8_t> certificateDer, DigestAlgorithm digest,
                             std::span<const std::uint8_t> data,
                             std::span<const std::uint8_t> signature) {
    const unsigned char* input = certificateDer.data();
    const std::unique_ptr<X509, CertificateDeleter> certificate(
        d2i_X509(nullptr, &input, static_cast<long>(certificateDer.size())));
    EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        return false;
    }
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    // EVP_DigestVerifyInit's default padding for an RSA key is PKCS#1 v1.5.
    return context &&
           EVP_DigestVerifyInit(context.get(), nullptr, openSslDigest(digest), nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

}  // namespace kivo::foundation
