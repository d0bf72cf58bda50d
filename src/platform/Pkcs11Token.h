#pragma once

// One token in one slot of a loaded module, as a query found it. The keys of a token share
// this object, and with it the session that carries a login through the rest of the request.

#include <p11-kit/pkcs11.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/Pkcs11Module.h"
#include "platform/Pkcs11Session.h"

namespace kivo::platform {

class Pkcs11Token {
  public:
    // `storeName` names a software key store (an NSS database), whose secret is a password.
    Pkcs11Token(std::shared_ptr<const Pkcs11Module> module, CK_SLOT_ID slot,
                const CK_TOKEN_INFO& info, std::optional<std::string> storeName = std::nullopt);

    const std::shared_ptr<const Pkcs11Module>& module() const { return module_; }
    CK_SLOT_ID slot() const { return slot_; }
    // The PKCS#11 URI that identifies the token.
    const std::string& uri() const { return uri_; }
    // The token's label, or the store's name for a software key store.
    const std::string& label() const { return label_; }
    bool isSoftwareStore() const { return softwareStore_; }

    // The token's state now. Throws Pkcs11Error: CKR_TOKEN_NOT_PRESENT when the slot is empty,
    // CKR_DEVICE_REMOVED when another token sits in it.
    CK_TOKEN_INFO currentInfo() const;

    // The signing session, opened on first use. A login lasts only while the application keeps
    // a session open on the token, so this one stays open. Throws Pkcs11Error.
    Pkcs11Session& signingSession();
    // Forgets a session that the token no longer honours (for example after removal).
    void dropSigningSession() { signingSession_.reset(); }

  private:
    std::shared_ptr<const Pkcs11Module> module_;
    CK_SLOT_ID slot_;
    std::string uri_;
    std::string label_;
    bool softwareStore_;
    std::unique_ptr<Pkcs11Session> signingSession_;
};

}  // namespace kivo::platform
