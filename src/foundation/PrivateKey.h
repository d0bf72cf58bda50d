#pragma once

// Signing with a private key that stays in its key store. The store supplies the key through the
// `PrivateKey` interface; nothing here ever sees key material.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "foundation/Bytes.h"
#include "foundation/SigningError.h"

namespace kivo::foundation {

// RSASSA-PKCS1-v1_5 over the whole message; the store computes the digest itself.
enum class SignatureAlgorithm { rsaPkcs1Sha1, rsaPkcs1Sha256, rsaPkcs1Sha512 };

// What the key's certificate says about the key, told by whoever decoded the certificate so the
// store never decodes it again. Without them a key names no signer and may be RSA.
struct CertificateFacts {
    std::string commonName;  // the subject CN; empty when there is none
    bool rsaKey = true;      // false when the certificate's public key is not rsaEncryption
};

// A reference to a private key held by a key store or token.
class PrivateKey {
  public:
    virtual ~PrivateKey() = default;
    // Whether the key can sign with `algorithm`. Throws SigningError when the store cannot be
    // asked: an error is never taken for an answer.
    virtual bool isAlgorithmSupported(SignatureAlgorithm algorithm) const = 0;
    // The signature over `data`. Throws SigningError (see `signingFailure`) when the store fails.
    virtual Bytes sign(SignatureAlgorithm algorithm, std::span<const std::uint8_t> data) = 0;
    // What the user approves before this key's first signature: a line or two naming the
    // certificate, the documents and the caller. A key whose store can ask the user asks before
    // its first signature, and again after each new purpose, and refuses to sign without a yes.
    // Keys held in memory (tests, benchmarks) have nobody to ask.
    virtual void setSigningPurpose(std::string /*purpose*/) {}
    // The facts of the certificate this key belongs to: the name its dialogs show, and the key
    // type assumed while the store hides the key's own.
    virtual void setCertificateFacts(CertificateFacts /*facts*/) {}
};

// The error a key store reports a failed signature with: 100 "Failed to create signature: " and
// the store's reason.
SigningError signingFailure(std::string_view reason);

// A reference to a certificate held by a key store or token; yields its DER encoding.
class StoredCertificate {
  public:
    virtual ~StoredCertificate() = default;
    virtual const Bytes& derBytes() const = 0;
};

// Signs `data` with `key`. Throws SigningError 108 when the key cannot sign with `algorithm`
// (without asking it to sign), the key's own error when it fails, 100 "Signature data is nil"
// when it returns no bytes.
Bytes signData(std::span<const std::uint8_t> data, PrivateKey& key, SignatureAlgorithm algorithm);

}  // namespace kivo::foundation
