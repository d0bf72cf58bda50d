#include "certs/Digests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "certs/Encodings.h"

namespace kivo::certs {
namespace {

struct KnownDigest {
    DigestAlgorithm algorithm;
    std::string input;
    std::string hex;
};

// Published test vectors: the empty message, "abc", and the two-block message.
const std::vector<KnownDigest> knownDigests = {
    {DigestAlgorithm::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {DigestAlgorithm::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {DigestAlgorithm::sha256, "",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {DigestAlgorithm::sha256, "abc",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {DigestAlgorithm::sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {DigestAlgorithm::sha512, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877ee"
     "c2f63b931bd47417a81a538327af927da3e"},
    {DigestAlgorithm::sha512, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "bbd454d4423643ce80e2a9ac94fa54ca49f"},
};

Bytes oneShot(DigestAlgorithm algorithm, std::span<const std::uint8_t> data) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return sha1Digest(data);
        case DigestAlgorithm::sha256:
            return sha256Digest(data);
        case DigestAlgorithm::sha512:
            return sha512Digest(data);
    }
    return {};
}

TEST(DigestsTest, KnownVectorsThroughEveryEntryPoint) {
    for (const KnownDigest& known : knownDigests) {
        SCOPED_TRACE(known.input + " / " + known.hex.substr(0, 8));
        EXPECT_EQ(hexEncode(oneShot(known.algorithm, byteView(known.input))), known.hex);
        EXPECT_EQ(hexEncode(digest(known.algorithm, byteView(known.input))), known.hex);

        // Fed one byte at a time, the digest must not change.
        DigestAccumulator accumulator(known.algorithm);
        for (const char c : known.input) {
            accumulator.update(byteView(std::string_view(&c, 1)));
        }
        EXPECT_EQ(hexEncode(accumulator.finish()), known.hex);
    }
}

TEST(DigestsTest, LargeInputInUnevenPiecesMatchesOneShot) {
    std::string input(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<char>(i * 31 + 7);
    }
    DigestAccumulator accumulator(DigestAlgorithm::sha256);
    std::size_t offset = 0;
    for (std::size_t piece = 1; offset < input.size(); piece = piece * 3 + 1) {
        const std::size_t length = std::min(piece, input.size() - offset);
        accumulator.update(byteView(std::string_view(input).substr(offset, length)));
        offset += length;
    }
    EXPECT_EQ(accumulator.finish(), sha256Digest(byteView(input)));
}

TEST(DigestsTest, FinishedAccumulatorRefusesMoreInput) {
    DigestAccumulator accumulator(DigestAlgorithm::sha1);
    EXPECT_EQ(accumulator.finish().size(), 20u);
    EXPECT_THROW(accumulator.update(byteView("x")), std::logic_error);
    EXPECT_THROW(accumulator.finish(), std::logic_error);
}

}  // namespace
}  // namespace kivo::certs
