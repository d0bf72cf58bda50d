#include "certs/TextComparison.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace kivo::certs {

namespace {

// Strict UTF-8 to UTF-16: ill-formed input (stray continuation bytes, overlong forms, encoded
// surrogates, truncated sequences) gives none instead of replacement characters, so that two
// different byte strings can never become equal through substitution.
std::optional<icu::UnicodeString> decodeUtf8(std::string_view text) {
    if (text.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    // UTF-16 never needs more code units than the UTF-8 form has bytes.
    const auto capacity = static_cast<std::int32_t>(text.size()) + 1;
    icu::UnicodeString decoded;
    UChar* buffer = decoded.getBuffer(capacity);
    if (buffer == nullptr) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = 0;
    u_strFromUTF8(buffer, capacity, &length, text.data(), static_cast<std::int32_t>(text.size()),
                  &status);
    const bool decodedFully = U_SUCCESS(status);
    decoded.releaseBuffer(decodedFully ? length : 0);
    if (!decodedFully) {
        return std::nullopt;
    }
    return decoded;
}

std::optional<icu::UnicodeString> toNfc(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) {
        return std::nullopt;
    }
    icu::UnicodeString normalized = nfc->normalize(text, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    return normalized;
}

icu::UnicodeString defaultLowerCase(icu::UnicodeString text) {
    text.toLower(icu::Locale::getRoot());
    return text;
}

bool nfcEqual(const icu::UnicodeString& left, const icu::UnicodeString& right) {
    const auto leftNfc = toNfc(left);
    const auto rightNfc = toNfc(right);
    return leftNfc && rightNfc && *leftNfc == *rightNfc;
}

}  // namespace

bool canonicallyEqual(std::string_view left, std::string_view right) {
    if (left == right) {
        return true;
    }
    const auto leftText = decodeUtf8(left);
    const auto rightText = decodeUtf8(right);
    return leftText && rightText && nfcEqual(*leftText, *rightText);
}

bool equalIgnoringCase(std::string_view left, std::string_view right) {
    if (left == right) {
        return true;
    }
    const auto leftText = decodeUtf8(left);
    const auto rightText = decodeUtf8(right);
    return leftText && rightText &&
           nfcEqual(defaultLowerCase(*leftText), defaultLowerCase(*rightText));
}

}  // namespace kivo::certs
