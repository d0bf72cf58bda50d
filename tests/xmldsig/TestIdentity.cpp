#include "xmldsig/TestIdentity.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "certs/Encodings.h"
#include "support/TempDir.h"

namespace kivo::testing {

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BignumDeleter {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using PkeyHandle = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

PkeyHandle readPrivateKey(const std::filesystem::path& pem) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(pem.c_str(), "r"), &std::fclose);
    if (!file) {
        throw std::runtime_error("cannot open " + pem.string());
    }
    PkeyHandle key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        throw std::runtime_error("cannot read a private key from " + pem.string());
    }
    return key;
}

std::string base64Parameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
        throw std::runtime_error(std::string("cannot read RSA parameter ") + name);
    }
    const std::unique_ptr<BIGNUM, BignumDeleter> number(raw);
    certs::Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    return certs::base64Encode(bytes);
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
    // Made once per run: a 4096-bit key takes seconds.
    static TempDir folder;
    static std::map<int, std::unique_ptr<TestIdentity>> identities;
    auto& slot = identities[bits];
    if (!slot) {
        slot.reset(new TestIdentity(folder.path(), bits));
    }
    return *slot;
}

TestIdentity::TestIdentity(const std::filesystem::path& folder, int bits)
    : certificatePem_(folder / ("cert" + std::to_string(bits) + ".pem")),
      privateKeyPem_(folder / ("key" + std::to_string(bits) + ".pem")) {
    const std::filesystem::path der = folder / ("cert" + std::to_string(bits) + ".der");
    const std::string command =
        "openssl req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -days 2 -subj " +
        "'/CN=Kivo Test Signer " + std::to_string(bits) + "' -keyout '" + privateKeyPem_.string() +
        "' -out '" + certificatePem_.string() + "' 2>/dev/null && openssl x509 -in '" +
        certificatePem_.string() + "' -outform DER -out '" + der.string() + "'";
    if (runCommand(command) != 0) {
        throw std::runtime_error("openssl could not make a test identity");
    }
    const std::string derText = readFile(der);
    certificateDer_.assign(derText.begin(), derText.end());
    const PkeyHandle key = readPrivateKey(privateKeyPem_);
    modulusBase64_ = base64Parameter(key.get(), OSSL_PKEY_PARAM_RSA_N);
    exponentBase64_ = base64Parameter(key.get(), OSSL_PKEY_PARAM_RSA_E);
}

struct OpenSslPrivateKey::Key {
    PkeyHandle pkey;
};

OpenSslPrivateKey::OpenSslPrivateKey(const std::filesystem::path& pem,
                                     std::vector<certs::SignatureAlgorithm> supported)
    : key_(std::make_unique<Key>(Key{readPrivateKey(pem)})), supported_(std::move(supported)) {}

OpenSslPrivateKey::~OpenSslPrivateKey() = default;

bool OpenSslPrivateKey::isAlgorithmSupported(certs::SignatureAlgorithm algorithm) const {
    return std::find(supported_.begin(), supported_.end(), algorithm) != supported_.end();
}

certs::SignatureOutcome OpenSslPrivateKey::createSignature(certs::SignatureAlgorithm algorithm,
                                                           std::span<const std::uint8_t> data) {
    ++signingCalls_;
    const std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, hashOf(algorithm), nullptr, key_->pkey.get()) !=
            1 ||
        EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        return {std::nullopt, "OpenSSL could not start the signature"};
    }
    certs::Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        return {std::nullopt, "OpenSSL could not sign"};
    }
    signature.resize(length);
    return {std::move(signature), std::nullopt};
}

}  // namespace kivo::testing
