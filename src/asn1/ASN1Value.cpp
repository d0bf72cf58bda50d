#include "asn1/ASN1Value.h"

#include "foundation/Encodings.h"
#include "foundation/Time.h"

namespace kivo::asn1 {

namespace {

template <typename T>
std::optional<T> alternativeOf(const std::optional<Value>& value) {
    if (value.has_value()) {
        if (const T* held = std::get_if<T>(&*value)) {
            return *held;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> textOf(const std::optional<Value>& value) {
    return alternativeOf<std::string>(value);
}

std::optional<Bytes> bytesOf(const std::optional<Value>& value) {
    return alternativeOf<Bytes>(value);
}

std::optional<bool> booleanOf(const std::optional<Value>& value) {
    return alternativeOf<bool>(value);
}

std::optional<TimePoint> timeOf(const std::optional<Value>& value) {
    return alternativeOf<TimePoint>(value);
}

std::string valueText(const Value& value) {
    struct Renderer {
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(const Bytes& bytes) const {
            return foundation::hexEncode(bytes, foundation::LetterCase::upper);
        }
        std::string operator()(bool flag) const { return flag ? "true" : "false"; }
        std::string operator()(TimePoint when) const { return foundation::formatReadableUtc(when); }
    };
    return std::visit(Renderer{}, value);
}

}  // namespace kivo::asn1
