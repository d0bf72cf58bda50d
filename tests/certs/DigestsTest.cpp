#include "certs/Digests.h"

#include <gtest/gtest.h>

#include "certs/Encodings.h"

namespace kivo::certs {
namespace {

TEST(DigestsTest, KnownVectorsOneShotAndInPieces) {
    struct Known {
        Bytes (*oneShot)(std::span<const std::uint8_t>);
        DigestAlgorithm algorithm;
        std::string input, hex;
    };
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::vector<Known> vectors = {
        {sha1Digest, DigestAlgorithm::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {sha1Digest, DigestAlgorithm::sha1, twoBlocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {sha256Digest, DigestAlgorithm::sha256, "",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {sha256Digest, DigestAlgorithm::sha256, twoBlocks,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {sha512Digest, DigestAlgorithm::sha512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
         "3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const Known& known : vectors) {
        SCOPED_TRACE(known.hex);
        EXPECT_EQ(hexEncode(known.oneShot(byteView(known.input))), known.hex);
        DigestAccumulator pieces(known.algorithm);
        for (std::size_t at = 0; at < known.input.size(); at += 5) {
            pieces.update(byteView(std::string_view(known.input).substr(at, 5)));
        }
        EXPECT_EQ(hexEncode(pieces.finish()), known.hex);
    }
}

}  // namespace
}  // namespace kivo::certs
