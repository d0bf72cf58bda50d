#include "platform/TokenLogin.h"

#include "platform/Pkcs11Result.h"

namespace kivo::platform {
namespace {

constexpr int maximumPinTries = 3;

bool needsLogin(const CK_TOKEN_INFO& info, const Pkcs11Session& session, LoginKind kind) {
    if (kind == LoginKind::operation) {
        return true;
    }
    return (info.flags & CKF_LOGIN_REQUIRED) != 0 && !session.isUserLoggedIn();
}

CK_RV login(const Pkcs11Session& session, LoginKind kind, const char* pin, std::size_t length) {
    const CK_USER_TYPE user = kind == LoginKind::operation ? CKU_CONTEXT_SPECIFIC : CKU_USER;
    // PKCS#11 takes a non-const pointer but does not write through it.
    auto* text = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin));
    const CK_RV result = session.functions().C_Login(session.handle(), user, text, length);
    return result == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : result;
}

bool isRetryable(CK_RV result) {
    return result == CKR_PIN_INCORRECT || result == CKR_PIN_LEN_RANGE || result == CKR_PIN_INVALID;
}

std::string retryMessage(const Pkcs11Token& token, CK_RV result, CK_FLAGS tokenFlags) {
    if (token.isSoftwareStore()) {
        return "Wrong password.";
    }
    std::string message =
        result == CKR_PIN_INCORRECT ? "Wrong PIN." : "The PIN has the wrong length or form.";
    if ((tokenFlags & CKF_USER_PIN_FINAL_TRY) != 0) {
        message += " One more wrong PIN will lock the token.";
    } else if ((tokenFlags & CKF_USER_PIN_COUNT_LOW) != 0) {
        message += " Few tries are left.";
    }
    return message;
}

PinRequest pinRequest(const Pkcs11Token& token, const std::string& signerName,
                      const std::string& purpose, const std::optional<std::string>& error) {
    PinRequest request;
    request.title = "Signing";
    // A software key store (an NSS database) is protected by a password, not a PIN.
    const bool password = token.isSoftwareStore();
    const std::string secret = password ? "password" : "PIN";
    request.description =
        purpose.empty()
            ? "Enter the " + secret + " of \"" + token.label() + "\" to sign" +
                  (signerName.empty() ? "." : " as " + signerName + ".")
            : purpose + "\nEnter the " + secret + " of \"" + token.label() + "\" to sign.";
    request.prompt = password ? "Password:" : "PIN:";
    request.error = error;
    return request;
}

std::optional<std::string> pinEntryFailure(PinEntryOutcome outcome) {
    if (outcome == PinEntryOutcome::entered) {
        return std::nullopt;
    }
    return pinEntryFailureText(outcome);
}

}  // namespace

std::string pinEntryFailureText(PinEntryOutcome outcome) {
    switch (outcome) {
        case PinEntryOutcome::cancelled:
            return userCancelledText;
        case PinEntryOutcome::noProgram:
            return "no pinentry program to ask the user (install pinentry or set KIVO_PINENTRY)";
        case PinEntryOutcome::hungUp:
            return "the browser closed the connection";
        case PinEntryOutcome::entered:
        case PinEntryOutcome::failed:
            break;
    }
    return "the pinentry program failed";
}

bool asksForPin(const Pkcs11Token& token, const Pkcs11Session& session, LoginKind kind) {
    const CK_TOKEN_INFO info = token.currentInfo();
    return needsLogin(info, session, kind) && (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0;
}

std::optional<std::string> logIn(const Pkcs11Token& token, const Pkcs11Session& session,
                                 LoginKind kind, const PinEntry& pinEntry,
                                 const std::string& signerName, const std::string& purpose) {
    CK_TOKEN_INFO info = token.currentInfo();
    if (!needsLogin(info, session, kind)) {
        return std::nullopt;
    }
    if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
        // The reader's PIN pad asks the user.
        const CK_RV result = login(session, kind, nullptr, 0);
        return result == CKR_OK ? std::nullopt : std::optional(pkcs11ResultName(result));
    }
    std::optional<std::string> shownError;
    CK_RV result = CKR_PIN_INCORRECT;
    for (int attempt = 0; attempt < maximumPinTries; ++attempt) {
        if ((info.flags & CKF_USER_PIN_LOCKED) != 0) {
            return pkcs11ResultName(CKR_PIN_LOCKED);
        }
        PinAnswer answer = pinEntry.ask(pinRequest(token, signerName, purpose, shownError));
        if (auto failure = pinEntryFailure(answer.outcome)) {
            return failure;
        }
        result = login(session, kind, answer.pin.data(), answer.pin.size());
        answer.pin.wipe();
        if (result == CKR_OK) {
            return std::nullopt;
        }
        if (!isRetryable(result)) {
            return pkcs11ResultName(result);
        }
        info = token.currentInfo();
        shownError = retryMessage(token, result, info.flags);
    }
    return pkcs11ResultName(result);
}

}  // namespace kivo::platform
