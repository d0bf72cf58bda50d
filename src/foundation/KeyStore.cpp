#include "foundation/KeyStore.h"

#include <array>
#include <utility>

namespace kivo::foundation {

std::string keyStoreStatusName(KeyStoreStatus status) {
    using enum KeyStoreStatus;
    static constexpr std::array<std::pair<KeyStoreStatus, const char*>, 12> names{{
        {success, "errSecSuccess"},
        {unimplemented, "errSecUnimplemented"},
        {param, "errSecParam"},
        {userCanceled, "errSecUserCanceled"},
        {badReq, "errSecBadReq"},
        {notAvailable, "errSecNotAvailable"},
        {authFailed, "errSecAuthFailed"},
        {duplicateItem, "errSecDuplicateItem"},
        {itemNotFound, "errSecItemNotFound"},
        {interactionNotAllowed, "errSecInteractionNotAllowed"},
        {decode, "errSecDecode"},
        {verifyFailed, "errSecVerifyFailed"},
    }};
    for (const auto& [code, name] : names) {
        if (code == status) {
            return name;
        }
    }
    return "Unknown code (" + std::to_string(static_cast<std::int32_t>(status)) + ")";
}

}  // namespace kivo::foundation
