#pragma once

// Signing identities for the XML signature tests: an RSA key and a self-signed certificate made
// by the openssl command line once per run. The key is held in this process through OpenSSL;
// the product itself only ever sees key references.

#include <filesystem>
#include <memory>
#include <string>

#include "certs/SignaturePrimitive.h"

namespace kivo::testing {

struct TestIdentity {
    std::filesystem::path certificatePem;
    std::filesystem::path privateKeyPem;
    certs::Bytes certificateDer;
    std::string modulusBase64;

    // A key of `bits` bits, made on first use and shared by all tests.
    static const TestIdentity& rsa(int bits);
};

// A key reference backed by an OpenSSL key from a PEM file; it counts its signing calls.
class OpenSslPrivateKey : public certs::PrivateKey {
  public:
    explicit OpenSslPrivateKey(const std::filesystem::path& pem);
    ~OpenSslPrivateKey() override;

    bool isAlgorithmSupported(certs::SignatureAlgorithm) const override { return true; }
    certs::SignatureOutcome createSignature(certs::SignatureAlgorithm algorithm,
                                            std::span<const std::uint8_t> data) override;
    int signingCalls = 0;

  private:
    struct Key;
    std::unique_ptr<Key> key_;
};

class DerCertificate : public certs::StoredCertificate {
  public:
    explicit DerCertificate(certs::Bytes der) : der_(std::move(der)) {}
    certs::Bytes derBytes() const override { return der_; }

  private:
    certs::Bytes der_;
};

}  // namespace kivo::testing
