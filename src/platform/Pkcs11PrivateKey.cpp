#include "platform/Pkcs11PrivateKey.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Log.h"
#include "platform/DigestInfo.h"
#include "platform/Pkcs11Result.h"
#include "platform/TokenLogin.h"

namespace kivo::platform {
namespace {

using foundation::SignatureAlgorithm;

enum class SigningMethod { hashAndSign, digestInfoOnly };

struct SigningPlan {
    SigningMethod method;
    CK_MECHANISM_TYPE mechanism;
};

CK_MECHANISM_TYPE hashAndSignMechanism(SignatureAlgorithm algorithm) {
    switch (algorithm) {
        case SignatureAlgorithm::rsaPkcs1Sha1:
            return CKM_SHA1_RSA_PKCS;
        case SignatureAlgorithm::rsaPkcs1Sha256:
            return CKM_SHA256_RSA_PKCS;
        case SignatureAlgorithm::rsaPkcs1Sha512:
            return CKM_SHA512_RSA_PKCS;
    }
    return CKM_SHA256_RSA_PKCS;
}

// What the key object says about its own use; all open when the token hides the key.
struct KeyLimits {
    std::optional<CK_KEY_TYPE> keyType;
    std::optional<bool> maySign;
    std::vector<CK_MECHANISM_TYPE> allowedMechanisms;  // empty: any

    bool allows(CK_MECHANISM_TYPE mechanism) const {
        return allowedMechanisms.empty() ||
               std::find(allowedMechanisms.begin(), allowedMechanisms.end(), mechanism) !=
                   allowedMechanisms.end();
    }
};

std::optional<CK_OBJECT_HANDLE> findPrivateKey(const Pkcs11Session& session,
                                               const foundation::Bytes& keyId) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    foundation::Bytes id = keyId;
    std::array<CK_ATTRIBUTE, 2> pattern{
        {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}}};
    const auto keys = session.findObjects(pattern);
    if (keys.empty()) {
        return std::nullopt;
    }
    return keys.front();
}

KeyLimits readLimits(const Pkcs11Session& session, std::optional<CK_OBJECT_HANDLE> key) {
    KeyLimits limits;
    if (!key) {
        return limits;
    }
    limits.keyType = session.ulongAttribute(*key, CKA_KEY_TYPE);
    limits.maySign = session.boolAttribute(*key, CKA_SIGN);
    const auto allowed = session.bytesAttribute(*key, CKA_ALLOWED_MECHANISMS);
    // An empty list has no storage to copy from: memcpy must not see its null pointer.
    if (allowed && allowed->size() >= sizeof(CK_MECHANISM_TYPE)) {
        limits.allowedMechanisms.resize(allowed->size() / sizeof(CK_MECHANISM_TYPE));
        std::memcpy(limits.allowedMechanisms.data(), allowed->data(),
                    limits.allowedMechanisms.size() * sizeof(CK_MECHANISM_TYPE));
    }
    return limits;
}

bool isUsableRsaKey(const KeyLimits& limits, bool certificateKeyIsRsa) {
    const bool rsa = limits.keyType ? *limits.keyType == CKK_RSA : certificateKeyIsRsa;
    return rsa && limits.maySign.value_or(true);
}

std::optional<SigningPlan> planSigning(const Pkcs11Token& token, const KeyLimits& limits,
                                       SignatureAlgorithm algorithm) {
    const CK_MECHANISM_TYPE combined = hashAndSignMechanism(algorithm);
    const Pkcs11Module& module = *token.module();
    if (limits.allows(combined) && module.canSignWith(token.slot(), combined)) {
        return SigningPlan{SigningMethod::hashAndSign, combined};
    }
    if (limits.allows(CKM_RSA_PKCS) && module.canSignWith(token.slot(), CKM_RSA_PKCS)) {
        return SigningPlan{SigningMethod::digestInfoOnly, CKM_RSA_PKCS};
    }
    return std::nullopt;
}

// Finishes the operation that C_SignInit began on `session`.
foundation::Bytes signPrepared(const Pkcs11Session& session, std::span<const std::uint8_t> input) {
    CK_FUNCTION_LIST& functions = session.functions();
    auto* bytes = const_cast<CK_BYTE*>(input.data());  // C_Sign does not write its input
    CK_ULONG length = 0;
    check(functions.C_Sign(session.handle(), bytes, input.size(), nullptr, &length));
    foundation::Bytes signature(length);
    check(functions.C_Sign(session.handle(), bytes, input.size(), signature.data(), &length));
    signature.resize(std::min<std::size_t>(length, signature.size()));
    return signature;
}

void logApprovalAnswer(const std::optional<std::string>& refusal) {
    using foundation::LogLevel;
    if (!refusal) {
        foundation::writeLog(LogLevel::info, "User approved signing");
    } else if (*refusal == userCancelledText) {
        foundation::writeLog(LogLevel::info, "User declined signing");
    } else {
        foundation::writeLog(LogLevel::info, "Signing not approved: " + *refusal);
    }
}

}  // namespace

Pkcs11PrivateKey::Pkcs11PrivateKey(std::shared_ptr<Pkcs11Token> token, foundation::Bytes keyId,
                                   std::shared_ptr<const PinEntry> pinEntry)
    : token_(std::move(token)), keyId_(std::move(keyId)), pinEntry_(std::move(pinEntry)) {}

void Pkcs11PrivateKey::setCertificateFacts(foundation::CertificateFacts facts) {
    certificateFacts_ = std::move(facts);
}

void Pkcs11PrivateKey::setSigningPurpose(std::string purpose) {
    purpose_ = std::move(purpose);
    approval_ = Approval::notAsked;
}

std::string Pkcs11PrivateKey::displayedPurpose() const {
    if (!purpose_.empty()) {
        return purpose_;
    }
    const std::string& name = certificateFacts_.commonName;
    return "Sign with the certificate of " + (name.empty() ? "an unnamed signer" : name) + "?";
}

std::optional<std::string> Pkcs11PrivateKey::obtainApproval(const Pkcs11Session& session) {
    using foundation::LogLevel;
    if (asksForPin(*token_, session, LoginKind::session)) {
        foundation::writeLog(LogLevel::info,
                             "Asking the user to approve signing with the token PIN");
        auto refusal = logIn(*token_, session, LoginKind::session, *pinEntry_,
                             certificateFacts_.commonName, purpose_);
        logApprovalAnswer(refusal);
        if (!refusal) {
            approval_ = Approval::given;
        }
        return refusal;
    }
    // Without a session login the key object is visible, so a key that wants its own PIN for
    // every operation can be recognised before the operation starts.
    if ((token_->currentInfo().flags & CKF_PROTECTED_AUTHENTICATION_PATH) == 0) {
        const auto key = findPrivateKey(session, keyId_);
        if (key && session.boolAttribute(*key, CKA_ALWAYS_AUTHENTICATE).value_or(false)) {
            foundation::writeLog(LogLevel::info,
                                 "Asking the user to approve signing with the key PIN");
            approval_ = Approval::givenWithOperationPin;
            return std::nullopt;
        }
    }
    foundation::writeLog(LogLevel::info, "Asking the user to approve signing");
    const PinEntryOutcome answer =
        pinEntry_->confirm(ConfirmRequest{"Signing", displayedPurpose(), "Sign", "Cancel"});
    std::optional<std::string> refusal;
    if (answer != PinEntryOutcome::entered) {
        refusal = pinEntryFailureText(answer);
    }
    logApprovalAnswer(refusal);
    if (!refusal) {
        approval_ = Approval::given;
    }
    return refusal;
}

bool Pkcs11PrivateKey::isAlgorithmSupported(SignatureAlgorithm algorithm) const {
    try {
        const Pkcs11Session session(token_->module(), token_->slot());
        const KeyLimits limits = readLimits(session, findPrivateKey(session, keyId_));
        return isUsableRsaKey(limits, certificateFacts_.rsaKey) &&
               planSigning(*token_, limits, algorithm).has_value();
    } catch (const Pkcs11Error& error) {
        throw foundation::signingFailure(error.what());
    }
}

foundation::Bytes Pkcs11PrivateKey::sign(SignatureAlgorithm algorithm,
                                         std::span<const std::uint8_t> data) {
    try {
        const Pkcs11Session& session = token_->signingSession();
        if (approval_ == Approval::notAsked) {
            if (auto refusal = obtainApproval(session)) {
                throw foundation::signingFailure(*refusal);
            }
        }
        if (auto loginFailure = logIn(*token_, session, LoginKind::session, *pinEntry_,
                                      certificateFacts_.commonName)) {
            throw foundation::signingFailure(*loginFailure);
        }
        const auto key = findPrivateKey(session, keyId_);
        if (!key) {
            throw foundation::signingFailure("private key not found");
        }
        const KeyLimits limits = readLimits(session, key);
        const auto plan = isUsableRsaKey(limits, certificateFacts_.rsaKey)
                              ? planSigning(*token_, limits, algorithm)
                              : std::nullopt;
        if (!plan) {
            throw foundation::signingFailure(pkcs11ResultName(CKR_MECHANISM_INVALID));
        }
        const foundation::Bytes input = plan->method == SigningMethod::hashAndSign
                                            ? foundation::Bytes(data.begin(), data.end())
                                            : digestInfo(algorithm, data);
        CK_MECHANISM mechanism{plan->mechanism, nullptr, 0};
        check(session.functions().C_SignInit(session.handle(), &mechanism, *key));
        if (session.boolAttribute(*key, CKA_ALWAYS_AUTHENTICATE).value_or(false)) {
            const bool approves = approval_ == Approval::givenWithOperationPin;
            auto loginFailure = logIn(*token_, session, LoginKind::operation, *pinEntry_,
                                      certificateFacts_.commonName, purpose_);
            if (approves) {
                logApprovalAnswer(loginFailure);
            }
            if (loginFailure) {
                token_->dropSigningSession();  // ends the signing operation begun above
                throw foundation::signingFailure(*loginFailure);
            }
            if (approves) {
                approval_ = Approval::given;
            }
        } else if (approval_ != Approval::given) {
            // The key claimed to ask for its PIN and does not: ask before it signs.
            token_->dropSigningSession();
            throw foundation::signingFailure("signing was not approved");
        }
        return signPrepared(session, input);
    } catch (const Pkcs11Error& error) {
        // A removed or reset token invalidates the session; the next call opens a fresh one.
        token_->dropSigningSession();
        throw foundation::signingFailure(error.what());
    }
}

}  // namespace kivo::platform
