#pragma once

// Logging in to a token before it signs: nothing when the token needs no login or the
// application is already logged in, the PIN pad when the token has one, otherwise up to three
// PINs from the pinentry program, stopping at once when the PIN is locked.

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>

#include "platform/PinEntry.h"
#include "platform/Pkcs11Token.h"

namespace kivo::platform {

// Which login a signing step needs.
enum class LoginKind {
    session,    // the user's login to the token (CKU_USER)
    operation,  // re-authentication for one signing operation (CKU_CONTEXT_SPECIFIC)
};

// What the user is told when they declined, and when they could not be asked.
inline constexpr const char* userCancelledText = "cancelled by the user";
std::string pinEntryFailureText(PinEntryOutcome outcome);

// Logs `session` in. Returns the failure text on failure: userCancelledText, the texts of
// pinEntryFailureText, or a PKCS#11 result name such as CKR_PIN_INCORRECT or CKR_PIN_LOCKED.
// Throws Pkcs11Error when the token cannot be read. `signerName` is the certificate's subject
// CN, shown in the prompt; a non-empty `purpose` (what is being signed) leads the prompt instead.
std::optional<std::string> logIn(const Pkcs11Token& token, const Pkcs11Session& session,
                                 LoginKind kind, const PinEntry& pinEntry,
                                 const std::string& signerName, const std::string& purpose = {});

// True when logIn would ask the pinentry program for a PIN (a login is due and the token has no
// PIN pad). Throws Pkcs11Error when the token cannot be read.
bool asksForPin(const Pkcs11Token& token, const Pkcs11Session& session, LoginKind kind);

}  // namespace kivo::platform
