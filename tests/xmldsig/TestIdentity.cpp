#include "xmldsig/TestIdentity.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <map>
#include <stdexcept>

#include "certs/Encodings.h"
#include "support/TempDir.h"

namespace kivo::testing {

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyHandle = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

PkeyHandle readPrivateKey(const std::filesystem::path& pem) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(pem.c_str(), "r"), &std::fclose);
    PkeyHandle key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        throw std::runtime_error("cannot read a private key from " + pem.string());
    }
    return key;
}

const EVP_MD* hashOf(certs::SignatureAlgorithm algorithm) {
    switch (algorithm) {
        case certs::SignatureAlgorithm::rsaPkcs1Sha1:
            return EVP_sha1();
        case certs::SignatureAlgorithm::rsaPkcs1Sha256:
            return EVP_sha256();
        case certs::SignatureAlgorithm::rsaPkcs1Sha512:
            return EVP_sha512();
    }
    return nullptr;
}

}  // namespace

const TestIdentity& TestIdentity::rsa(int bits) {
    static const TempDir folder;
    static std::map<int, TestIdentity> made;
    if (const auto found = made.find(bits); found != made.end()) {
        return found->second;
    }
    const std::string name = (folder / ("rsa" + std::to_string(bits))).string();
    TestIdentity identity{name + ".crt", name + ".key", {}, {}};
    const std::string command = "openssl req -x509 -newkey rsa:" + std::to_string(bits) +
                                " -nodes -days 2 -subj '/CN=Kivo Test Signer' -keyout '" + name +
                                ".key' -out '" + name + ".crt' 2>/dev/null && openssl x509 -in '" +
                                name + ".crt' -outform DER -out '" + name + ".der'";
    if (runCommand(command) != 0) {
        throw std::runtime_error("openssl could not make a test identity");
    }
    const std::string der = readFile(name + ".der");
    identity.certificateDer.assign(der.begin(), der.end());
    BIGNUM* modulus = nullptr;
    EVP_PKEY_get_bn_param(readPrivateKey(identity.privateKeyPem).get(), OSSL_PKEY_PARAM_RSA_N,
                          &modulus);
    certs::Bytes modulusBytes(static_cast<std::size_t>(BN_num_bytes(modulus)));
    BN_bn2bin(modulus, modulusBytes.data());
    BN_free(modulus);
    identity.modulusBase64 = certs::base64Encode(modulusBytes);
    return made.emplace(bits, std::move(identity)).first->second;
}

struct OpenSslPrivateKey::Key {
    PkeyHandle pkey;
};

OpenSslPrivateKey::OpenSslPrivateKey(const std::filesystem::path& pem)
    : key_(std::make_unique<Key>(Key{readPrivateKey(pem)})) {}

OpenSslPrivateKey::~OpenSslPrivateKey() = default;

certs::SignatureOutcome OpenSslPrivateKey::createSignature(certs::SignatureAlgorithm algorithm,
                                                           std::span<const std::uint8_t> data) {
    ++signingCalls;
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                     &EVP_MD_CTX_free);
    certs::Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(key_->pkey.get())));
    std::size_t length = signature.size();
    if (EVP_DigestSignInit(context.get(), nullptr, hashOf(algorithm), nullptr, key_->pkey.get()) !=
            1 ||
        EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        return {std::nullopt, "OpenSSL could not sign"};
    }
    signature.resize(length);
    return {std::move(signature), std::nullopt};
}

}  // namespace kivo::testing
