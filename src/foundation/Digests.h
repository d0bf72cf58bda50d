#pragma once

// SHA-1, SHA-256 and SHA-512 digests of byte sequences, one-shot or fed in pieces. Each gives the
// standard digest of the whole input; an empty input is digested as zero bytes.

#include <cstdint>
#include <memory>
#include <span>

#include "foundation/Bytes.h"

struct evp_md_ctx_st;
struct evp_md_st;

namespace kivo::foundation {

enum class DigestAlgorithm { sha1, sha256, sha512 };

Bytes sha1Digest(std::span<const std::uint8_t> data);
Bytes sha256Digest(std::span<const std::uint8_t> data);
Bytes sha512Digest(std::span<const std::uint8_t> data);

Bytes digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> data);

// OpenSSL's EVP_MD for the algorithm, for the OpenSSL calls of this folder.
const evp_md_st* openSslDigest(DigestAlgorithm algorithm);

// Digests input that arrives in pieces (for example canonical XML as it is written), so the
// whole input never has to be held at once. `finish` may be called once.
class DigestAccumulator {
  public:
    explicit DigestAccumulator(DigestAlgorithm algorithm);
    DigestAccumulator(DigestAccumulator&&) noexcept;
    DigestAccumulator& operator=(DigestAccumulator&&) noexcept;
    ~DigestAccumulator();

    void update(std::span<const std::uint8_t> data);
    Bytes finish();

  private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

}  // namespace kivo::foundation
