#include "protocol/SigningApproval.h"

#include <algorithm>
#include <string_view>

#include "foundation/Utf8.h"

namespace kivo::protocol {
namespace {

constexpr std::size_t longestId = 40;
constexpr std::size_t longestName = 64;
constexpr std::size_t longestCaller = 80;

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

// `text` on one line, isolated from the text around it: control characters become spaces,
// malformed bytes and the format characters that reorder or hide text become U+FFFD, and past
// `longest` characters it is cut with an ellipsis. The first-strong isolate and its pop keep a
// right-to-left name from reordering the rest of the line.
std::string shown(std::string_view text, std::size_t longest) {
    std::string result = "\u2068";
    std::size_t characters = 0;
    for (std::size_t at = 0; at < text.size();) {
        const foundation::CodePoint codePoint = foundation::decodeUtf8At(text, at);
        if (characters == longest) {
            result += "\u2026";
            break;
        }
        if (codePoint.length == 0 || foundation::isFormatCharacter(codePoint.value)) {
            result += "\uFFFD";
        } else if (isControl(codePoint.value)) {
            result += ' ';
        } else {
            result.append(text.substr(at, codePoint.length));
        }
        ++characters;
        at += std::max<std::size_t>(codePoint.length, 1);
    }
    return result + "\u2069";
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
