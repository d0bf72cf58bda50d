#pragma once

// A lenient decoder from DER (or BER with indefinite lengths) to ASN.1 object trees. It never
// checks that the input is canonical, decodes each universal primitive into a plain value where
// it can and leaves the value out otherwise. The one failure is outOfBuffer: the input ends
// inside an element, or elements nest deeper than maximumDepth. Memory stays proportional to the
// input: nothing is allocated for octets a length merely announces.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/ASN1Object.h"
#include "asn1/ASN1Value.h"

namespace kivo::asn1 {

// A forward-only cursor: yields one octet at a time and reports its end.
class ByteCursor {
  public:
    explicit ByteCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::optional<std::uint8_t> next();
    std::size_t remaining() const { return bytes_.size() - position_; }
    // Takes the next `count` octets; the caller has checked remaining().
    std::span<const std::uint8_t> take(std::size_t count);

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

enum class LengthForm { definite, indefinite };

struct ElementLength {
    LengthForm form = LengthForm::definite;
    std::uint64_t octets = 0;  // 0 for the indefinite form
};

struct ASN1DERDecoder {
    // Nested constructed or re-decoded OCTET STRING levels below the top level.
    static constexpr std::size_t maximumDepth = 64;

    static constexpr std::array<std::string_view, 2> utcTimeFormats{"yyMMddHHmmssZ", "yyMMddHHmmZ"};
    static constexpr std::array<std::string_view, 1> generalizedTimeFormats{"yyyyMMddHHmmssZ"};

    // The top-level elements of `bytes`; throws ASN1Exception(outOfBuffer).
    static std::vector<std::shared_ptr<ASN1Object>> decode(std::span<const std::uint8_t> bytes);

    // The elements from the cursor up to its end or an end-of-contents element.
    static std::vector<std::shared_ptr<ASN1Object>> parseSequence(ByteCursor& cursor);

    // Length octets: short form, long form (more than 8 length octets give 0; octets missing at
    // the end of the input are simply absent) or the indefinite form; no octet left gives 0.
    static ElementLength readLength(ByteCursor& cursor);

    // A length and that many content octets. The indefinite form and lengths of 2^63-1 or more
    // give empty contents; throws outOfBuffer when the input holds fewer octets than announced.
    static Bytes readContents(ByteCursor& cursor);

    // Big-endian unsigned value of up to 8 octets (none for more; 0 for none).
    static std::optional<std::uint64_t> bigEndianValue(std::span<const std::uint8_t> octets);

    // Dotted decimal text of OBJECT IDENTIFIER contents; empty contents give empty text.
    static std::string decodeOid(std::span<const std::uint8_t> octets);

    // The first pattern that parses the contents (as UTF-8 text) gives the time.
    static std::optional<TimePoint> parseTime(std::span<const std::uint8_t> octets,
                                              std::span<const std::string_view> patterns);
};

}  // namespace kivo::asn1
