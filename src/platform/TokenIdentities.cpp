#include "platform/TokenIdentities.h"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/Pkcs11PrivateKey.h"
#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

class DerCertificate final : public foundation::StoredCertificate {
  public:
    explicit DerCertificate(foundation::Bytes der) : der_(std::move(der)) {}
    const foundation::Bytes& derBytes() const override { return der_; }

  private:
    foundation::Bytes der_;
};

std::vector<foundation::Bytes> privateKeyIds(const Pkcs11Session& session) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::array<CK_ATTRIBUTE, 1> pattern{{{CKA_CLASS, &keyClass, sizeof keyClass}}};
    std::vector<foundation::Bytes> ids;
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

// Returns whether the token hides its private keys until login.
bool appendTokenIdentities(const std::shared_ptr<Pkcs11Token>& token,
                           const std::shared_ptr<const PinEntry>& pinEntry,
                           std::vector<foundation::StoredIdentity>& identities) {
    const CK_TOKEN_INFO info = token->currentInfo();
    const Pkcs11Session session(token->module(), token->slot());
    const bool keysHidden = (info.flags & CKF_LOGIN_REQUIRED) != 0 && !session.isUserLoggedIn();
    const std::vector<foundation::Bytes> keyIds = privateKeyIds(session);
    for (const CK_OBJECT_HANDLE object : x509Certificates(session)) {
        std::optional<foundation::Bytes> id = session.bytesAttribute(object, CKA_ID);
        if (!id || id->empty()) {
            continue;
        }
        const bool keyKnown = std::find(keyIds.begin(), keyIds.end(), *id) != keyIds.end();
        if (!keyKnown && !keysHidden) {
            continue;
        }
        std::optional<foundation::Bytes> der = session.bytesAttribute(object, CKA_VALUE);
        if (!der) {
            continue;
        }
        foundation::StoredIdentity identity;
        identity.certificate = std::make_shared<DerCertificate>(std::move(*der));
        identity.privateKey = std::make_shared<Pkcs11PrivateKey>(token, std::move(*id), pinEntry);
        identity.storeName = token->label();
        identities.push_back(std::move(identity));
    }
    return keysHidden;
}

}  // namespace

foundation::IdentityQueryResult queryIdentities(
    const std::vector<std::shared_ptr<Pkcs11Token>>& tokens,
    const std::shared_ptr<const PinEntry>& pinEntry, std::vector<TokenSearch>* searches) {
    foundation::IdentityQueryResult result;
    std::optional<CK_RV> lastFailure;
    for (const auto& token : tokens) {
        const std::size_t before = result.identities.size();
        TokenSearch search;
        try {
            search.keysHidden = appendTokenIdentities(token, pinEntry, result.identities);
        } catch (const Pkcs11Error& error) {
            lastFailure = error.result();
            search.failed = true;
        }
        search.identities = result.identities.size() - before;
        if (searches != nullptr) {
            searches->push_back(search);
        }
    }
    if (!result.identities.empty()) {
        result.status = foundation::KeyStoreStatus::success;
    } else if (lastFailure) {
        result.status = queryStatusFor(*lastFailure);
    } else {
        result.status = foundation::KeyStoreStatus::itemNotFound;
    }
    return result;
}

}  // namespace kivo::platform
