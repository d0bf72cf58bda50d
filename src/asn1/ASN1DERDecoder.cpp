#include "asn1/ASN1DERDecoder.h"

#include "asn1/ASN1Error.h"
#include "asn1/DatePattern.h"
#include "asn1/TextDecoding.h"
#include "foundation/Log.h"

namespace kivo::asn1 {

using Children = ASN1Object::Children;
using TagNumber = ASN1Identifier::TagNumber;

std::optional<std::uint8_t> ByteCursor::next() {
    if (position_ >= bytes_.size()) {
        return std::nullopt;
    }
    return bytes_[position_++];
}

std::span<const std::uint8_t> ByteCursor::take(std::size_t count) {
    const auto taken = bytes_.subspan(position_, count);
    position_ += count;
    return taken;
}

namespace {

constexpr std::uint64_t contentsLimit = 0x7FFFFFFFFFFFFFFF;

Children parseLevel(ByteCursor& cursor, std::size_t depth);

// The contents for a length already read. Checking what is left before copying keeps memory
// bounded by the input, whatever a length announces.
Bytes takeContents(ByteCursor& cursor, ElementLength length) {
    if (length.form == LengthForm::indefinite || length.octets >= contentsLimit) {
        return {};
    }
    if (length.octets > cursor.remaining()) {
        throw ASN1Exception(ASN1Error::outOfBuffer);
    }
    const auto contents = cursor.take(static_cast<std::size_t>(length.octets));
    return Bytes(contents.begin(), contents.end());
}

Value textOrBytes(std::span<const std::uint8_t> contents) {
    if (auto text = decodeUtf8(contents)) {
        return std::move(*text);
    }
    return Bytes(contents.begin(), contents.end());
}

// Sets the value only when decoding gave one.
template <typename T>
void setDecoded(ASN1Object& node, std::optional<T> decoded) {
    if (decoded) {
        node.setValue(
            std::optional<Value>(std::in_place, std::in_place_type<T>, std::move(*decoded)));
    }
}

Bytes withoutLeadingZeros(std::span<const std::uint8_t> contents) {
    std::size_t first = 0;
    while (first < contents.size() && contents[first] == 0) {
        ++first;
    }
    return Bytes(contents.begin() + static_cast<std::ptrdiff_t>(first), contents.end());
}

void reportUnsupported(TagNumber tag) {
    foundation::writeDebug(
        [tag] { return "unsupported tag: " + std::string(ASN1Identifier::caseName(tag)); });
}

// Re-reads OCTET STRING contents as DER; when they do not parse, they become the value.
void decodeOctetString(ASN1Object& node, std::span<const std::uint8_t> contents,
                       std::size_t depth) {
    ByteCursor inner(contents);
    try {
        node.setSub(parseLevel(inner, depth + 1));
    } catch (const ASN1Exception&) {
        node.setValue(textOrBytes(contents));
    }
}

void decodeUniversalPrimitive(ASN1Object& node, TagNumber tag,
                              std::span<const std::uint8_t> contents, std::size_t depth) {
    switch (tag) {
        case TagNumber::boolean:
            if (!contents.empty()) {
                node.setValue(contents.front() != 0);
            }
            return;
        case TagNumber::integer:
            node.setValue(withoutLeadingZeros(contents));
            return;
        case TagNumber::bitString:
            node.setValue(contents.empty() ? Bytes{} : Bytes(contents.begin() + 1, contents.end()));
            return;
        case TagNumber::octetString:
            decodeOctetString(node, contents, depth);
            return;
        case TagNumber::null:
            return;
        case TagNumber::objectIdentifier:
            node.setValue(ASN1DERDecoder::decodeOid(contents));
            return;
        case TagNumber::utf8String:
        case TagNumber::numericString:
        case TagNumber::printableString:
        case TagNumber::t61String:
        case TagNumber::generalString:
        case TagNumber::universalString:
        case TagNumber::characterString:
            setDecoded(node, decodeUtf8(contents));
            return;
        case TagNumber::ia5String:
        case TagNumber::visibleString:
            setDecoded(node, decodeAscii(contents));
            return;
        case TagNumber::bmpString:
            setDecoded(node, decodeUtf16BigEndian(contents));
            return;
        case TagNumber::utcTime:
            setDecoded(node, ASN1DERDecoder::parseTime(contents, ASN1DERDecoder::utcTimeFormats));
            return;
        case TagNumber::generalizedTime:
            setDecoded(node,
                       ASN1DERDecoder::parseTime(contents, ASN1DERDecoder::generalizedTimeFormats));
            return;
        default:
            node.setValue(Bytes(contents.begin(), contents.end()));
            reportUnsupported(tag);
            return;
    }
}

void readConstructed(const std::shared_ptr<ASN1Object>& node, ByteCursor& cursor,
                     std::size_t depth) {
    Children children;
    const ElementLength length = ASN1DERDecoder::readLength(cursor);
    if (length.form == LengthForm::indefinite) {
        // The children follow on the same cursor, up to their end-of-contents element.
        node->setRawValue(Bytes{});
        children = parseLevel(cursor, depth + 1);
    } else {
        node->setRawValue(takeContents(cursor, length));
        ByteCursor inner(*node->rawValue());
        children = parseLevel(inner, depth + 1);
    }
    for (const auto& child : children) {
        child->setParent(node);
    }
    node->setSub(std::move(children));
}

// Universal primitives with tag 0 (end-of-contents) or without a tag case end their level.
bool endsLevel(ASN1Identifier identifier) {
    return !ASN1Identifier::tagNumberFromRaw(identifier.tagNumberField()) ||
           identifier.tagNumberField() == 0;
}

Children parseLevel(ByteCursor& cursor, std::size_t depth) {
    if (depth > ASN1DERDecoder::maximumDepth) {
        throw ASN1Exception(ASN1Error::outOfBuffer);
    }
    Children nodes;
    while (const auto octet = cursor.next()) {
        const ASN1Identifier identifier(*octet);
        auto node = std::make_shared<ASN1Object>();
        node->setIdentifier(identifier);
        if (identifier.isConstructed()) {
            readConstructed(node, cursor, depth);
        } else if (identifier.rawValue() >= 0x40) {
            node->setValue(textOrBytes(ASN1DERDecoder::readContents(cursor)));
        } else {
            Bytes contents = ASN1DERDecoder::readContents(cursor);
            if (endsLevel(identifier)) {
                return nodes;
            }
            node->setRawValue(std::move(contents));
            decodeUniversalPrimitive(*node, identifier.tagNumber(), *node->rawValue(), depth);
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace

std::vector<std::shared_ptr<ASN1Object>> ASN1DERDecoder::decode(
    std::span<const std::uint8_t> bytes) {
    ByteCursor cursor(bytes);
    return parseSequence(cursor);
}

std::vector<std::shared_ptr<ASN1Object>> ASN1DERDecoder::parseSequence(ByteCursor& cursor) {
    return parseLevel(cursor, 0);
}

ElementLength ASN1DERDecoder::readLength(ByteCursor& cursor) {
    const auto first = cursor.next();
    if (!first) {
        return {};
    }
    if (*first < 0x80) {
        return {LengthForm::definite, *first};
    }
    if (*first == 0x80) {
        return {LengthForm::indefinite, 0};
    }
    const std::size_t count = *first & 0x7F;
    Bytes octets;
    for (std::size_t i = 0; i < count; ++i) {
        const auto octet = cursor.next();
        if (!octet) {
            break;
        }
        octets.push_back(*octet);
    }
    return {LengthForm::definite, bigEndianValue(octets).value_or(0)};
}

Bytes ASN1DERDecoder::readContents(ByteCursor& cursor) {
    return takeContents(cursor, readLength(cursor));
}

std::optional<std::uint64_t> ASN1DERDecoder::bigEndianValue(std::span<const std::uint8_t> octets) {
    if (octets.size() > 8) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const std::uint8_t octet : octets) {
        value = (value << 8) | octet;
    }
    return value;
}

std::string ASN1DERDecoder::decodeOid(std::span<const std::uint8_t> octets) {
    if (octets.empty()) {
        return {};
    }
    std::string text = std::to_string(octets.front() / 40);
    text += '.';
    text += std::to_string(octets.front() % 40);
    std::uint64_t arc = 0;  // shifted-out bits are lost, as in a signed 64-bit accumulator
    for (const std::uint8_t octet : octets.subspan(1)) {
        arc = (arc << 7) | (octet & 0x7F);
        if ((octet & 0x80) == 0) {
            text += '.';
            text += std::to_string(static_cast<std::int64_t>(arc));
            arc = 0;
        }
    }
    return text;
}

std::optional<TimePoint> ASN1DERDecoder::parseTime(std::span<const std::uint8_t> octets,
                                                   std::span<const std::string_view> patterns) {
    const auto text = decodeUtf8(octets);
    if (!text) {
        return std::nullopt;
    }
    for (const std::string_view pattern : patterns) {
        if (auto when = parseDatePattern(*text, pattern)) {
            return when;
        }
    }
    return std::nullopt;
}

}  // namespace kivo::asn1
