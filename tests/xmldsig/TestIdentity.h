#pragma once

// Signing identities for the XML signature tests: an RSA key and a self-signed certificate made
// by the openssl command line once per test run, with the key held in this process through
// OpenSSL (the product itself only ever sees key references).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "certs/SignaturePrimitive.h"

namespace kivo::testing {

class TestIdentity {
  public:
    // A key of `bits` bits and its certificate, made on first use and shared by all tests.
    static const TestIdentity& rsa(int bits);

    const std::filesystem::path& certificatePem() const { return certificatePem_; }
    const certs::Bytes& certificateDer() const { return certificateDer_; }
    const std::filesystem::path& privateKeyPem() const { return privateKeyPem_; }
    // Base64 of the key's modulus and public exponent, as the sign request passes them.
    const std::string& modulusBase64() const { return modulusBase64_; }
    const std::string& exponentBase64() const { return exponentBase64_; }

  private:
    TestIdentity(const std::filesystem::path& folder, int bits);

    std::filesystem::path certificatePem_;
    std::filesystem::path privateKeyPem_;
    certs::Bytes certificateDer_;
    std::string modulusBase64_;
    std::string exponentBase64_;
};

// A key reference backed by an OpenSSL key read from a PEM file. `supported` limits the
// algorithms it admits to; every signing call is counted.
class OpenSslPrivateKey : public certs::PrivateKey {
  public:
    explicit OpenSslPrivateKey(const std::filesystem::path& pem,
                               std::vector<certs::SignatureAlgorithm> supported = {
                                   certs::SignatureAlgorithm::rsaPkcs1Sha1,
                                   certs::SignatureAlgorithm::rsaPkcs1Sha256,
                                   certs::SignatureAlgorithm::rsaPkcs1Sha512});
    ~OpenSslPrivateKey() override;

    bool isAlgorithmSupported(certs::SignatureAlgorithm algorithm) const override;
    certs::SignatureOutcome createSignature(certs::SignatureAlgorithm algorithm,
                                            std::span<const std::uint8_t> data) override;

    int signingCalls() const { return signingCalls_; }

  private:
    struct Key;
    std::unique_ptr<Key> key_;
    std::vector<certs::SignatureAlgorithm> supported_;
    int signingCalls_ = 0;
};

class DerCertificate : public certs::StoredCertificate {
  public:
    explicit DerCertificate(certs::Bytes der) : der_(std::move(der)) {}
    certs::Bytes derBytes() const override { return der_; }

  private:
    certs::Bytes der_;
};

}  // namespace kivo::testing
