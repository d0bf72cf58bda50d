#pragma once

// A private key on a PKCS#11 token, found by the CKA_ID it shares with its certificate. It
// holds the token (and through it the module), never key material. Signing uses the token's
// hash-and-sign mechanism for the algorithm, or CKM_RSA_PKCS over a DigestInfo made on the host
// when that is all the token or key offers; both give the same signature bytes.

#include <memory>
#include <optional>
#include <string>

#include "foundation/PrivateKey.h"
#include "platform/PinEntry.h"
#include "platform/Pkcs11Token.h"

namespace kivo::platform {

class Pkcs11PrivateKey final : public foundation::PrivateKey {
  public:
    // The certificate's facts (setCertificateFacts) come later from the search, for the few keys
    // it accepts: the subject CN is shown when a PIN is asked for, and the public key's type
    // answers for the key while the token hides it until login.
    Pkcs11PrivateKey(std::shared_ptr<Pkcs11Token> token, foundation::Bytes keyId,
                     std::shared_ptr<const PinEntry> pinEntry);

    // False when the key is not RSA, may not sign, or neither the algorithm's hash-and-sign
    // mechanism nor CKM_RSA_PKCS is available for it. Throws the signing failure with the
    // PKCS#11 result name when the token cannot be asked.
    bool isAlgorithmSupported(foundation::SignatureAlgorithm algorithm) const override;

    // Asks the user's approval before the first signature (see setSigningPurpose), logs in when
    // needed, then signs. Failures (foundation::signingFailure) carry the texts of TokenLogin or a
    // PKCS#11 result name, or "private key not found" when the token holds no key with the
    // certificate's ID.
    foundation::Bytes sign(foundation::SignatureAlgorithm algorithm,
                           std::span<const std::uint8_t> data) override;

    // The approval: the PIN dialog when signing needs the token's PIN (its text then leads with
    // the purpose), otherwise a confirmation dialog. A key that asks for its own PIN at every
    // signature takes that first PIN as the approval. Without a purpose, the dialogs name the
    // certificate's subject and the token.
    void setSigningPurpose(std::string purpose) override;
    void setCertificateFacts(foundation::CertificateFacts facts) override;

    const Pkcs11Token& token() const { return *token_; }
    const foundation::Bytes& keyId() const { return keyId_; }

  private:
    enum class Approval {
        notAsked,
        givenWithOperationPin,  // the PIN of the key's first operation is the approval
        given,
    };
    // The refusal text when the user did not approve.
    std::optional<std::string> obtainApproval(const Pkcs11Session& session);
    std::string displayedPurpose() const;

    std::shared_ptr<Pkcs11Token> token_;
    foundation::Bytes keyId_;
    foundation::CertificateFacts certificateFacts_;
    std::shared_ptr<const PinEntry> pinEntry_;
    std::string purpose_;
    Approval approval_ = Approval::notAsked;
};

}  // namespace kivo::platform
