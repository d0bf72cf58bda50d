#include "asn1/Pem.h"

#include <string>

#include "asn1/TextDecoding.h"
#include "foundation/Encodings.h"

namespace kivo::asn1 {

namespace {

constexpr std::string_view newlineCharacters = "\n\v\f\r";

std::string pemBody(std::string_view text) {
    std::string body;
    bool inside = false;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(newlineCharacters);
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (inside && line != pemEndLine) {
            body += line;
        } else {
            inside = line == pemBeginLine;
        }
    }
    return body;
}

}  // namespace

std::optional<Bytes> pemToDer(std::span<const std::uint8_t> pem) {
    const auto text = decodeAscii(pem);
    if (!text || text->find(pemBeginLine) == std::string::npos) {
        return std::nullopt;
    }
    return foundation::base64DecodeStrict(pemBody(*text));
}

}  // namespace kivo::asn1
