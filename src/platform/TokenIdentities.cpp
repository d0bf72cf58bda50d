#include "platform/TokenIdentities.h"

#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <optional>

#include "platform/Pkcs11PrivateKey.h"
#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

class DerCertificate final : public certs::StoredCertificate {
  public:
    explicit DerCertificate(certs::Bytes der) : der_(std::move(der)) {}
    certs::Bytes derBytes() const override { return der_; }

  private:
    certs::Bytes der_;
};

// What the key needs to know of its certificate: the subject CN for the PIN prompt and whether
// the public key is RSA. Unreadable certificates answer "no name, maybe RSA"; they are dropped
// later by the certificate parser anyway.
struct CertificateFacts {
    std::string commonName;
    bool rsaKey = true;
};

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

CertificateFacts readFacts(const certs::Bytes& der) {
    CertificateFacts facts;
    const unsigned char* cursor = der.data();
    const std::unique_ptr<X509, X509Deleter> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) {
        return facts;
    }
    if (const EVP_PKEY* key = X509_get0_pubkey(certificate.get())) {
        facts.rsaKey = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    }
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            facts.commonName.assign(reinterpret_cast<const char*>(utf8),
                                    static_cast<std::size_t>(length));
            OPENSSL_free(utf8);
        }
    }
    return facts;
}

std::vector<certs::Bytes> privateKeyIds(const Pkcs11Session& session) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::array<CK_ATTRIBUTE, 1> pattern{{{CKA_CLASS, &keyClass, sizeof keyClass}}};
    std::vector<certs::Bytes> ids;
    for (const CK_OBJECT_HANDLE key : session.findObjects(pattern)) {
        if (auto id = session.bytesAttribute(key, CKA_ID)) {
            ids.push_back(std::move(*id));
        }
    }
    return ids;
}

std::vector<CK_OBJECT_HANDLE> x509Certificates(const Pkcs11Session& session) {
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    std::array<CK_ATTRIBUTE, 2> pattern{
        {{CKA_CLASS, &certificateClass, sizeof certificateClass},
         {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType}}};
    return session.findObjects(pattern);
}

void appendTokenIdentities(const std::shared_ptr<Pkcs11Token>& token,
                           const std::shared_ptr<const PinEntry>& pinEntry,
                           std::vector<certs::StoredIdentity>& identities) {
    const CK_TOKEN_INFO info = token->currentInfo();
    const Pkcs11Session session(token->module(), token->slot());
    const bool keysHidden = (info.flags & CKF_LOGIN_REQUIRED) != 0 && !session.isUserLoggedIn();
    const std::vector<certs::Bytes> keyIds = privateKeyIds(session);
    for (const CK_OBJECT_HANDLE object : x509Certificates(session)) {
        std::optional<certs::Bytes> id = session.bytesAttribute(object, CKA_ID);
        if (!id || id->empty()) {
            continue;
        }
        const bool keyKnown = std::find(keyIds.begin(), keyIds.end(), *id) != keyIds.end();
        if (!keyKnown && !keysHidden) {
            continue;
        }
        std::optional<certs::Bytes> der = session.bytesAttribute(object, CKA_VALUE);
        if (!der) {
            continue;
        }
        const CertificateFacts facts = readFacts(*der);
        certs::StoredIdentity identity;
        identity.certificate = std::make_shared<DerCertificate>(*der);
        identity.privateKey = std::make_shared<Pkcs11PrivateKey>(
            token, std::move(*id), facts.commonName, facts.rsaKey, pinEntry);
        identity.certificateDer = std::move(*der);
        identities.push_back(std::move(identity));
    }
}

}  // namespace

certs::IdentityQueryResult queryIdentities(const std::vector<std::shared_ptr<Pkcs11Token>>& tokens,
                                           const std::shared_ptr<const PinEntry>& pinEntry) {
    certs::IdentityQueryResult result;
    std::optional<CK_RV> lastFailure;
    for (const auto& token : tokens) {
        try {
            appendTokenIdentities(token, pinEntry, result.identities);
        } catch (const Pkcs11Error& error) {
            lastFailure = error.result();
        }
    }
    if (!result.identities.empty()) {
        result.status = certs::security_status::success;
    } else if (lastFailure) {
        result.status = queryStatusFor(*lastFailure);
    } else {
        result.status = certs::security_status::itemNotFound;
    }
    return result;
}

}  // namespace kivo::platform
