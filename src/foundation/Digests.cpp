#include "foundation/Digests.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace kivo::foundation {

namespace {

// OpenSSL only fails here when it runs out of memory or the context is misused.
void check(int result, const char* what) {
    if (result != 1) {
        throw std::runtime_error(std::string("SHA digest failed: ") + what);
    }
}

}  // namespace

const EVP_MD* openSslDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return EVP_sha1();
        case DigestAlgorithm::sha256:
            return EVP_sha256();
        case DigestAlgorithm::sha512:
            return EVP_sha512();
    }
    throw std::invalid_argument("unknown digest algorithm");
}

void DigestAccumulator::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

DigestAccumulator::DigestAccumulator(DigestAlgorithm algorithm) : context_(EVP_MD_CTX_new()) {
    if (!context_) {
        throw std::bad_alloc();
    }
    check(EVP_DigestInit_ex(context_.get(), openSslDigest(algorithm), nullptr), "init");
}

DigestAccumulator::DigestAccumulator(DigestAccumulator&&) noexcept = default;
DigestAccumulator& DigestAccumulator::operator=(DigestAccumulator&&) noexcept = default;
DigestAccumulator::~DigestAccumulator() = default;

void DigestAccumulator::update(std::span<const std::uint8_t> data) {
    if (!context_) {
        throw std::logic_error("digest already finished");
    }
    // EVP takes size_t lengths, so inputs of any size are digested in one call.
    check(EVP_DigestUpdate(context_.get(), data.data(), data.size()), "update");
}

Bytes DigestAccumulator::finish() {
    if (!context_) {
        throw std::logic_error("digest already finished");
    }
    Bytes result(static_cast<std::size_t>(EVP_MD_CTX_get_size(context_.get())), 0);
    unsigned int length = 0;
    check(EVP_DigestFinal_ex(context_.get(), result.data(), &length), "final");
    result.resize(length);
    context_.reset();
    return result;
}

Bytes digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> data) {
    DigestAccumulator accumulator(algorithm);
    accumulator.update(data);
    return accumulator.finish();
}

Bytes sha1Digest(std::span<const std::uint8_t> data) {
    return digest(DigestAlgorithm::sha1, data);
}

Bytes sha256Digest(std::span<const std::uint8_t> data) {
    return digest(DigestAlgorithm::sha256, data);
}

Bytes sha512Digest(std::span<const std::uint8_t> data) {
    return digest(DigestAlgorithm::sha512, data);
}

}  // namespace kivo::foundation
