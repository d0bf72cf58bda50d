#pragma once

// A read-only PKCS#11 session on one slot, closed when the object goes, with the object search
// and attribute reads the key store needs. It keeps its module alive.

#include <p11-kit/pkcs11.h>

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "foundation/PrivateKey.h"
#include "platform/Pkcs11Module.h"

namespace kivo::platform {

class Pkcs11Session {
  public:
    // Throws Pkcs11Error.
    Pkcs11Session(std::shared_ptr<const Pkcs11Module> module, CK_SLOT_ID slot);
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;
    ~Pkcs11Session();

    CK_SESSION_HANDLE handle() const { return handle_; }
    CK_FUNCTION_LIST& functions() const { return module_->functions(); }

    // Whether the session runs with the user logged in. Throws Pkcs11Error.
    bool isUserLoggedIn() const;

    // Handles of the objects matching `pattern`, in the token's order. Throws Pkcs11Error.
    std::vector<CK_OBJECT_HANDLE> findObjects(std::span<CK_ATTRIBUTE> pattern) const;

    // An attribute's value; absent when the object lacks it or does not reveal it.
    std::optional<foundation::Bytes> bytesAttribute(CK_OBJECT_HANDLE object,
                                                    CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> ulongAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
    std::optional<bool> boolAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;

  private:
    std::shared_ptr<const Pkcs11Module> module_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

}  // namespace kivo::platform
