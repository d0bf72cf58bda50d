#include "protocol/SigningApproval.h"

#include <cstdint>
#include <string_view>

namespace kivo::protocol {
namespace {

constexpr std::size_t longestId = 40;
constexpr std::size_t longestName = 64;
constexpr std::size_t longestCaller = 80;

// The next code point of `text` from `at`, and how many bytes it took; malformed bytes count as
// one U+FFFD each.
std::pair<char32_t, std::size_t> nextCodePoint(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) {
        return {U'\uFFFD', 1};
    }
    char32_t value = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return {U'\uFFFD', 1};
        }
        value = (value << 6) | (byte(at + i) & 0x3f);
    }
    return {value, length};
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

// `text` on one line: control characters become spaces, and past `longest` characters it is cut
// with an ellipsis.
std::string shown(std::string_view text, std::size_t longest) {
    std::string result;
    std::size_t characters = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto [codePoint, length] = nextCodePoint(text, at);
        if (characters == longest) {
            return result + "\u2026";
        }
        if (isControl(codePoint)) {
            result += ' ';
        } else if (codePoint == U'\uFFFD' && length == 1) {
            result += "\uFFFD";
        } else {
            result.append(text.substr(at, length));
        }
        ++characters;
        at += length;
    }
    return result;
}

std::string documentList(std::span<const XmlData> documents) {
    std::string text = "Sign " + std::to_string(documents.size()) +
                       (documents.size() == 1 ? " document" : " documents");
    if (documents.empty()) {
        return text;
    }
    text += " (";
    for (std::size_t i = 0; i < documents.size() && i < namedDocumentIds; ++i) {
        text += (i == 0 ? "\"" : ", \"") + shown(documents[i].id, longestId) + "\"";
    }
    if (documents.size() > namedDocumentIds) {
        text += " and " + std::to_string(documents.size() - namedDocumentIds) + " more";
    }
    return text + ")";
}

}  // namespace

std::string signingPurpose(const certs::CertificateSelection& selection,
                           std::span<const XmlData> documents,
                           const std::optional<std::string>& caller) {
    std::string text = documentList(documents);
    if (caller) {
        text += " for " + shown(*caller, longestCaller);
    }
    text += "?\nCertificate: ";
    const std::optional<std::string> subject =
        selection.parsedCertificate
            ? selection.parsedCertificate->subjectValue(asn1::ASN1DistinguishedNames::commonName)
            : std::nullopt;
    text += shown(subject.value_or("(no name)"), longestName);
    text += ", issued by " + shown(selection.issuer, longestName);
    if (!selection.serial.empty()) {
        text += ", serial " + shown(selection.serial, longestName);
    }
    // The date is enough; the time of day only lengthens the line.
    text += ", expires " + shown(selection.expiry.substr(0, 10), longestName);
    return text;
}

std::optional<std::string> callerFromArguments(std::span<const char* const> arguments) {
    if (arguments.empty() || arguments[0] == nullptr) {
        return std::nullopt;
    }
    const std::string_view first = arguments[0];
    if (first.starts_with("chrome-extension://")) {
        return std::string(first);
    }
    if (arguments.size() >= 2 && arguments[1] != nullptr && *arguments[1] != '\0') {
        return std::string(arguments[1]);
    }
    return std::nullopt;
}

}  // namespace kivo::protocol
