#include "platform/Pkcs11Session.h"

#include <array>

#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

// Bounds what a broken or hostile module can make the host hold.
constexpr std::size_t maximumObjects = 4096;
constexpr CK_ULONG maximumAttributeSize = 1024 * 1024;
constexpr std::size_t typicalAttributeSize = 4096;

}  // namespace

Pkcs11Session::Pkcs11Session(std::shared_ptr<const Pkcs11Module> module, CK_SLOT_ID slot)
    : module_(std::move(module)) {
    check(functions().C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_));
}

Pkcs11Session::~Pkcs11Session() {
    functions().C_CloseSession(handle_);
}

bool Pkcs11Session::isUserLoggedIn() const {
    CK_SESSION_INFO info{};
    check(functions().C_GetSessionInfo(handle_, &info));
    return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

std::vector<CK_OBJECT_HANDLE> Pkcs11Session::findObjects(std::span<CK_ATTRIBUTE> pattern) const {
    check(functions().C_FindObjectsInit(handle_, pattern.data(), pattern.size()));
    // Ends the search however the collecting below ends.
    struct SearchEnd {
        const Pkcs11Session& session;
        ~SearchEnd() { session.functions().C_FindObjectsFinal(session.handle()); }
    } searchEnd{*this};
    std::vector<CK_OBJECT_HANDLE> found;
    CK_RV result = CKR_OK;
    while (found.size() < maximumObjects) {
        std::array<CK_OBJECT_HANDLE, 64> batch{};
        CK_ULONG count = 0;
        result = functions().C_FindObjects(handle_, batch.data(), batch.size(), &count);
        if (result != CKR_OK || count == 0) {
            break;
        }
        found.insert(
            found.end(), batch.begin(),
            batch.begin() + static_cast<std::ptrdiff_t>(std::min<CK_ULONG>(count, batch.size())));
    }
    check(result);
    return found;
}

std::optional<foundation::Bytes> Pkcs11Session::bytesAttribute(CK_OBJECT_HANDLE object,
                                                               CK_ATTRIBUTE_TYPE type) const {
    // Most values (identifiers, certificates) fit a few kilobytes: one call instead of asking the
    // size first halves the queries, which for a database-backed store are most of a search.
    foundation::Bytes guess(typicalAttributeSize);
    CK_ATTRIBUTE attribute{type, guess.data(), guess.size()};
    const CK_RV firstTry = functions().C_GetAttributeValue(handle_, object, &attribute, 1);
    if (firstTry == CKR_OK && attribute.ulValueLen <= guess.size()) {
        guess.resize(attribute.ulValueLen);
        return guess;
    }
    if (firstTry != CKR_BUFFER_TOO_SMALL) {
        return std::nullopt;
    }
    attribute = {type, nullptr, 0};
    if (functions().C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
        attribute.ulValueLen > maximumAttributeSize) {
        return std::nullopt;
    }
    foundation::Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (functions().C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen > value.size()) {
        return std::nullopt;
    }
    value.resize(attribute.ulValueLen);
    return value;
}

std::optional<CK_ULONG> Pkcs11Session::ulongAttribute(CK_OBJECT_HANDLE object,
                                                      CK_ATTRIBUTE_TYPE type) const {
    CK_ULONG value = 0;
    CK_ATTRIBUTE attribute{type, &value, sizeof value};
    if (functions().C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen != sizeof value) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> Pkcs11Session::boolAttribute(CK_OBJECT_HANDLE object,
                                                 CK_ATTRIBUTE_TYPE type) const {
    CK_BBOOL value = CK_FALSE;
    CK_ATTRIBUTE attribute{type, &value, sizeof value};
    if (functions().C_GetAttributeValue(handle_, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen != sizeof value) {
        return std::nullopt;
    }
    return value != CK_FALSE;
}

}  // namespace kivo::platform
