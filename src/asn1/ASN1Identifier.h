#pragma once

// One ASN.1 identifier octet read with the X.690 bit layout: class in bits 8-7, the constructed
// flag in bit 6, the tag number in bits 5-1. Only the one-octet form exists here; a tag number
// field of 31 is never followed into further identifier octets.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::asn1 {

class ASN1Identifier {
  public:
    enum class Class : std::uint8_t {
        universal = 0x00,
        application = 0x40,
        contextSpecific = 0x80,
        private_ = 0xC0,  // "private" is a C++ keyword; its text is still "private"
    };

    enum class TagNumber : std::uint8_t {
        endOfContent = 0,
        boolean = 1,
        integer = 2,
        bitString = 3,
        octetString = 4,
        null = 5,
        objectIdentifier = 6,
        objectDescriptor = 7,
        external = 8,
        read = 9,  // the REAL type
        enumerated = 10,
        embeddedPdv = 11,
        utf8String = 12,
        relativeOid = 13,
        sequence = 16,
        set = 17,
        numericString = 18,
        printableString = 19,
        t61String = 20,
        videotexString = 21,
        ia5String = 22,
        utcTime = 23,
        generalizedTime = 24,
        graphicString = 25,
        visibleString = 26,
        generalString = 27,
        universalString = 28,
        characterString = 29,
        bmpString = 30,
    };

    // The tag number case for `raw`; none for 14, 15, 31 and anything above 30.
    static std::optional<TagNumber> tagNumberFromRaw(std::uint8_t raw);
    static std::string_view caseName(Class typeClass);
    static std::string_view caseName(TagNumber tagNumber);

    constexpr explicit ASN1Identifier(std::uint8_t rawValue) : rawValue_(rawValue) {}

    constexpr std::uint8_t rawValue() const { return rawValue_; }
    Class typeClass() const;
    constexpr bool isPrimitive() const { return (rawValue_ & 0x20) == 0; }
    constexpr bool isConstructed() const { return !isPrimitive(); }
    // The low five bits as a case; 14, 15 and 31 read as endOfContent.
    TagNumber tagNumber() const;
    // The low five bits as they are.
    constexpr std::uint8_t tagNumberField() const { return rawValue_ & 0x1F; }
    // "sequence" for universal identifiers, "contextSpecific(0)" and the like for the others.
    std::string description() const;

    friend constexpr bool operator==(ASN1Identifier, ASN1Identifier) = default;

  private:
    std::uint8_t rawValue_;
};

}  // namespace kivo::asn1
