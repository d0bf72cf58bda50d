#include "asn1/ASN1Identifier.h"

#include <array>

namespace kivo::asn1 {

std::optional<ASN1Identifier::TagNumber> ASN1Identifier::tagNumberFromRaw(std::uint8_t raw) {
    if (raw == 14 || raw == 15 || raw > 30) {
        return std::nullopt;
    }
    return static_cast<TagNumber>(raw);
}

std::string_view ASN1Identifier::caseName(Class typeClass) {
    // Indexed by the class bits (the top two of the identifier octet).
    static constexpr std::array<std::string_view, 4> names{"universal", "application",
                                                           "contextSpecific", "private"};
    return names[static_cast<std::uint8_t>(typeClass) >> 6];
}

std::string_view ASN1Identifier::caseName(TagNumber tagNumber) {
    switch (tagNumber) {
        case TagNumber::endOfContent:
            return "endOfContent";
        case TagNumber::boolean:
            return "boolean";
        case TagNumber::integer:
            return "integer";
        case TagNumber::bitString:
            return "bitString";
        case TagNumber::octetString:
            return "octetString";
        case TagNumber::null:
            return "null";
        case TagNumber::objectIdentifier:
            return "objectIdentifier";
        case TagNumber::objectDescriptor:
            return "objectDescriptor";
        case TagNumber::external:
            return "external";
        case TagNumber::read:
            return "read";
        case TagNumber::enumerated:
            return "enumerated";
        case TagNumber::embeddedPdv:
            return "embeddedPdv";
        case TagNumber::utf8String:
            return "utf8String";
        case TagNumber::relativeOid:
            return "relativeOid";
        case TagNumber::sequence:
            return "sequence";
        case TagNumber::set:
            return "set";
        case TagNumber::numericString:
            return "numericString";
        case TagNumber::printableString:
            return "printableString";
        case TagNumber::t61String:
            return "t61String";
        case TagNumber::videotexString:
            return "videotexString";
        case TagNumber::ia5String:
            return "ia5String";
        case TagNumber::utcTime:
            return "utcTime";
        case TagNumber::generalizedTime:
            return "generalizedTime";
        case TagNumber::graphicString:
            return "graphicString";
        case TagNumber::visibleString:
            return "visibleString";
        case TagNumber::generalString:
            return "generalString";
        case TagNumber::universalString:
            return "universalString";
        case TagNumber::characterString:
            return "characterString";
        case TagNumber::bmpString:
            return "bmpString";
    }
    return "endOfContent";
}

ASN1Identifier::Class ASN1Identifier::typeClass() const {
    return static_cast<Class>(rawValue_ & 0xC0);
}

ASN1Identifier::TagNumber ASN1Identifier::tagNumber() const {
    return tagNumberFromRaw(tagNumberField()).value_or(TagNumber::endOfContent);
}

std::string ASN1Identifier::description() const {
    if (rawValue_ < 0x40) {
        return std::string(caseName(tagNumber()));
    }
    return std::string(caseName(typeClass())) + "(" +
           std::to_string(static_cast<unsigned>(tagNumber())) + ")";
}

}  // namespace kivo::asn1
