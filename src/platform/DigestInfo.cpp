#include "platform/DigestInfo.h"

#include <array>

#include "foundation/Digests.h"

namespace kivo::platform {
namespace {

// The DER header of DigestInfo for each hash, up to the digest octets (RFC 8017, 9.2 note 1).
constexpr std::array<std::uint8_t, 15> sha1Prefix{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                  0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr std::array<std::uint8_t, 19> sha256Prefix{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                    0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                    0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<std::uint8_t, 19> sha512Prefix{0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                    0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                    0x03, 0x05, 0x00, 0x04, 0x40};

foundation::Bytes joined(std::span<const std::uint8_t> prefix, const foundation::Bytes& digest) {
    foundation::Bytes result(prefix.begin(), prefix.end());
    result.insert(result.end(), digest.begin(), digest.end());
    return result;
}

}  // namespace

foundation::Bytes digestInfo(foundation::SignatureAlgorithm algorithm,
                             std::span<const std::uint8_t> message) {
    switch (algorithm) {
        case foundation::SignatureAlgorithm::rsaPkcs1Sha1:
            return joined(sha1Prefix, foundation::sha1Digest(message));
        case foundation::SignatureAlgorithm::rsaPkcs1Sha256:
            return joined(sha256Prefix, foundation::sha256Digest(message));
        case foundation::SignatureAlgorithm::rsaPkcs1Sha512:
            return joined(sha512Prefix, foundation::sha512Digest(message));
    }
    return {};
}

}  // namespace kivo::platform
