#include "platform/Pkcs11Token.h"

#include "platform/Pkcs11Result.h"

namespace kivo::platform {

Pkcs11Token::Pkcs11Token(std::shared_ptr<const Pkcs11Module> module, CK_SLOT_ID slot,
                         const CK_TOKEN_INFO& info, std::optional<std::string> storeName)
    : module_(std::move(module)),
      slot_(slot),
      uri_(tokenUri(info)),
      label_(storeName ? std::move(*storeName) : paddedText(info.label, sizeof info.label)),
      softwareStore_(storeName.has_value()) {}

CK_TOKEN_INFO Pkcs11Token::currentInfo() const {
    const CK_TOKEN_INFO info = module_->tokenInfo(slot_);
    if (tokenUri(info) != uri_) {
        throw Pkcs11Error(CKR_DEVICE_REMOVED);
    }
    return info;
}

Pkcs11Session& Pkcs11Token::signingSession() {
    if (!signingSession_) {
        signingSession_ = std::make_unique<Pkcs11Session>(module_, slot_);
    }
    return *signingSession_;
}

}  // namespace kivo::platform
