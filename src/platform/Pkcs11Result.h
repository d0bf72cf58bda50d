#pragma once

// PKCS#11 result codes as this host reports them: the one place that turns a CK_RV into the
// name shown after "Failed to create signature: " and into the key-store status of a failed
// identity query.

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "foundation/KeyStore.h"

namespace kivo::platform {

// "CKR_PIN_INCORRECT", "CKR_DEVICE_REMOVED", ...; codes without a name give "CKR_0x<hex>".
std::string pkcs11ResultName(CK_RV result);

// The key-store status for a failed query: -50 for CKR_ARGUMENTS_BAD, -4 for
// CKR_FUNCTION_NOT_SUPPORTED, -25291 when the token is absent or was removed, -25293 for
// CKR_PIN_INCORRECT, the code itself otherwise.
foundation::KeyStoreStatus queryStatusFor(CK_RV result);

// A failed PKCS#11 call; what() is the result's name.
class Pkcs11Error : public std::runtime_error {
  public:
    explicit Pkcs11Error(CK_RV result)
        : std::runtime_error(pkcs11ResultName(result)), result_(result) {}
    CK_RV result() const noexcept { return result_; }

  private:
    CK_RV result_;
};

// Throws Pkcs11Error unless `result` is CKR_OK.
inline void check(CK_RV result) {
    if (result != CKR_OK) {
        throw Pkcs11Error(result);
    }
}

}  // namespace kivo::platform
