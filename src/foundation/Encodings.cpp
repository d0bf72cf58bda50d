#include "foundation/Encodings.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace kivo::foundation {

namespace {

constexpr std::string_view lowerHexDigits = "0123456789abcdef";
constexpr std::string_view upperHexDigits = "0123456789ABCDEF";
constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t notBase64 = 0xFF;

constexpr std::array<std::uint8_t, 256> makeBase64Values() {
    std::array<std::uint8_t, 256> values{};
    values.fill(notBase64);
    for (std::size_t i = 0; i < base64Alphabet.size(); ++i) {
        values[static_cast<unsigned char>(base64Alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return values;
}

constexpr std::array<std::uint8_t, 256> base64Values = makeBase64Values();

// EVP_EncodeBlock takes an int length; encode whole three-byte groups per call so that inputs of
// any size come out as one unbroken line.
constexpr std::size_t encodeChunk = 3 * 1024 * 1024;

}  // namespace

std::string hexEncode(std::span<const std::uint8_t> data, LetterCase letters) {
    const std::string_view hexDigits =
        letters == LetterCase::upper ? upperHexDigits : lowerHexDigits;
    std::string text;
    text.reserve(data.size() * 2);
    for (const std::uint8_t byte : data) {
        text.push_back(hexDigits[byte >> 4]);
        text.push_back(hexDigits[byte & 0x0F]);
    }
    return text;
}

std::string base64Encode(std::span<const std::uint8_t> data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    Base64Writer writer(text);
    writer.write(data);
    writer.finish();
    return text;
}

void Base64Writer::write(std::span<const std::uint8_t> data) {
    if (pendingSize_ > 0) {
        const std::size_t taken = std::min(data.size(), pending_.size() - pendingSize_);
        std::copy_n(data.begin(), taken,
                    pending_.begin() + static_cast<std::ptrdiff_t>(pendingSize_));
        pendingSize_ += taken;
        data = data.subspan(taken);
        if (pendingSize_ < pending_.size()) {
            return;
        }
        encodeGroups(pending_);
        pendingSize_ = 0;
    }
    const std::size_t whole = data.size() - data.size() % 3;
    encodeGroups(data.first(whole));
    const auto rest = data.subspan(whole);
    std::copy(rest.begin(), rest.end(), pending_.begin());
    pendingSize_ = rest.size();
}

void Base64Writer::finish() {
    encodeGroups(std::span(pending_).first(pendingSize_));
    pendingSize_ = 0;
}

void Base64Writer::encodeGroups(std::span<const std::uint8_t> data) {
    for (std::size_t offset = 0; offset < data.size(); offset += encodeChunk) {
        const std::size_t length = std::min(encodeChunk, data.size() - offset);
        const std::size_t start = output_.size();
        output_.resize(start + (length + 2) / 3 * 4);
        const int produced =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(output_.data() + start),
                            data.data() + offset, static_cast<int>(length));
        if (produced < 0) {
            throw std::runtime_error("Base64 encoding failed");
        }
        output_.resize(start + static_cast<std::size_t>(produced));
    }
}

std::optional<Bytes> base64DecodeStrict(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    Bytes bytes;
    bytes.reserve(text.size() / 4 * 3);
    // Every group but the last has four symbols: decoded without the padding's checks, three
    // bytes at a time (documents are megabytes of Base64).
    const std::size_t whole = text.empty() ? 0 : text.size() - 4;
    bytes.resize(whole / 4 * 3);
    std::uint8_t* out = bytes.data();
    for (std::size_t group = 0; group < whole; group += 4, out += 3) {
        std::uint32_t bits = 0;
        std::uint8_t invalid = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::uint8_t value = base64Values[static_cast<unsigned char>(text[group + i])];
            invalid |= value;
            bits = (bits << 6) | value;
        }
        if (invalid == notBase64) {  // valid values are below 64; notBase64 has every bit set
            return std::nullopt;
        }
        out[0] = static_cast<std::uint8_t>(bits >> 16);
        out[1] = static_cast<std::uint8_t>(bits >> 8);
        out[2] = static_cast<std::uint8_t>(bits);
    }
    for (std::size_t group = whole; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        const std::size_t symbols = last ? 4 - padding : 4;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            std::uint8_t value = 0;
            if (i < symbols) {
                value = base64Values[static_cast<unsigned char>(text[group + i])];
                if (value == notBase64) {
                    return std::nullopt;
                }
            }
            bits = (bits << 6) | value;
        }
        bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
        if (symbols > 2) {
            bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
        }
        if (symbols > 3) {
            bytes.push_back(static_cast<std::uint8_t>(bits));
        }
    }
    return bytes;
}

bool holdsOnlyBase64Characters(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](const char c) {
        return c == '=' || base64Values[static_cast<unsigned char>(c)] != notBase64;
    });
}

}  // namespace kivo::foundation
