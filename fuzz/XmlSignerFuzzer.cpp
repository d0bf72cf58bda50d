// Arbitrary text as a document to sign: parsing, both signing filters, both enveloped signatures
// with their key information, and the canonical output, exactly as a sign request runs them.
// The key is an OpenSSL key held in this process; a failure must be a SigningError, never a crash.
// Each filter, answered by a walk of the tree, must select what the XPath engine selects for the
// same filter written in parentheses, before and after the tree is signed.

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "foundation/Encodings.h"
#include "foundation/Log.h"
#include "foundation/PrivateKey.h"
#include "foundation/SigningError.h"
#include "xmldsig/SigningFilter.h"
#include "xmldsig/XmlSigner.h"

namespace {

using kivo::foundation::Bytes;
using kivo::foundation::SignatureAlgorithm;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BignumFree {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using KeyHandle = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificateHandle = std::unique_ptr<X509, CertificateFree>;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A small key keeps the fuzzer fast; the signature code does not depend on the key size.
KeyHandle makeKey() {
    KeyHandle key(EVP_RSA_gen(1024));
    require(key != nullptr);
    return key;
}

Bytes selfSignedCertificate(EVP_PKEY* key) {
    CertificateHandle certificate(X509_new());
    require(certificate != nullptr);
    require(X509_set_version(certificate.get(), 2) == 1);
    require(ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 4242) == 1);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>("Fuzz Signer"), -1,
                                       -1, 0) == 1);
    require(X509_set_issuer_name(certificate.get(), name) == 1);
    require(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr);
    require(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365) != nullptr);
    require(X509_set_pubkey(certificate.get(), key) == 1);
    require(X509_sign(certificate.get(), key, EVP_sha256()) > 0);
    const int length = i2d_X509(certificate.get(), nullptr);
    require(length > 0);
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    require(i2d_X509(certificate.get(), &out) == length);
    return der;
}

Bytes rsaParameter(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    require(EVP_PKEY_get_bn_param(key, name, &raw) == 1);
    const std::unique_ptr<BIGNUM, BignumFree> number(raw);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    return bytes;
}

const EVP_MD* digestFor(SignatureAlgorithm algorithm) {
    switch (algorithm) {
        case SignatureAlgorithm::rsaPkcs1Sha1:
            return EVP_sha1();
        case SignatureAlgorithm::rsaPkcs1Sha256:
            return EVP_sha256();
        case SignatureAlgorithm::rsaPkcs1Sha512:
            return EVP_sha512();
    }
    return nullptr;
}

class OpenSslKey final : public kivo::foundation::PrivateKey {
  public:
    explicit OpenSslKey(EVP_PKEY* key) : key_(key) {}

    bool isAlgorithmSupported(SignatureAlgorithm) const override { return true; }

    kivo::foundation::Bytes sign(SignatureAlgorithm algorithm,
                                 std::span<const std::uint8_t> data) override {
        const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
        std::size_t length = 0;
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, digestFor(algorithm), nullptr, key_) != 1 ||
            EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
            throw kivo::foundation::signingFailure("signing could not start");
        }
        Bytes signature(length);
        if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) !=
            1) {
            throw kivo::foundation::signingFailure("signing failed");
        }
        signature.resize(length);
        return signature;
    }

  private:
    EVP_PKEY* key_;
};

class FixedCertificate final : public kivo::foundation::StoredCertificate {
  public:
    explicit FixedCertificate(Bytes der) : der_(std::move(der)) {}
    const Bytes& derBytes() const override { return der_; }

  private:
    Bytes der_;
};

struct Identity {
    KeyHandle key = makeKey();
    OpenSslKey privateKey{key.get()};
    FixedCertificate certificate{selfSignedCertificate(key.get())};
    std::string modulus = kivo::foundation::base64Encode(rsaParameter(key.get(), "n"));
    std::string exponent = kivo::foundation::base64Encode(rsaParameter(key.get(), "e"));
};

Identity& identity() {
    static Identity made;
    return made;
}

constexpr std::array<std::string_view, 2> signingFilters{"//CounterpartData", "//RenderedData"};

// The algorithm names a request may carry, picked by input length so that every seed exercises
// one of them without changing its text.
std::optional<std::string> algorithmFor(std::size_t size) {
    constexpr std::array<const char*, 4> names{"RSA_SHA256", "RSA_SHA1", "RSA_SHA512", "default"};
    return std::string(names[size % names.size()]);
}

volatile std::size_t sink = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kivo::foundation::setProcessLog(kivo::foundation::LogFile(std::nullopt));
    identity();
    return 0;
}

// The element a filter selects, or how many it found instead ("returned 2 results ...").
std::string selection(xmlDocPtr document, const std::string& filter) {
    try {
        return "element " + std::to_string(reinterpret_cast<std::uintptr_t>(
                                kivo::xmldsig::selectSignedElement(document, filter)));
    } catch (const kivo::foundation::SigningError& error) {
        const std::string& message = error.message();
        const std::size_t count = message.rfind("' returned ");
        return count == std::string::npos ? message : message.substr(count);
    }
}

void checkWalkMatchesEngine(const kivo::xmldsig::XmlSigner& document) {
    for (const std::string_view filter : signingFilters) {
        const std::string written(filter);
        require(selection(document.xmlDocument(), written) ==
                selection(document.xmlDocument(), "(" + written + ")"));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Identity& signer = identity();
    try {
        kivo::xmldsig::XmlSigner document(text);
        checkWalkMatchesEngine(document);
        for (const std::string_view filter : signingFilters) {
            document.signElement(signer.privateKey, algorithmFor(size), filter);
            document.addX509Data(signer.certificate, filter);
            document.addRSAKeyValue(signer.modulus, signer.exponent, filter);
        }
        checkWalkMatchesEngine(document);
        sink = sink + document.canonicalText().size();
    } catch (const kivo::foundation::SigningError&) {
        // 103 and 104 for documents of the wrong shape or that do not parse. The fixed filters
        // are valid XPath, so an XPathError escaping here is a finding.
    }
    return 0;
}
