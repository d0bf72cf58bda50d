#pragma once

// The two fixed vocabularies over dotted OID text: readable names for the OIDs certificates of
// this system carry, and the name attributes shown (in this order, under these labels) when an
// issuer or subject Name becomes one line of text.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kivo::asn1 {

class ASN1Object;

// The OID name table, made on first use and never changed.
const std::map<std::string, std::string, std::less<>>& oidNameTable();

// The name for exactly this OID text (no normalisation), none when the table has no entry.
std::optional<std::string> oidName(std::string_view oid);

// One distinguished-name attribute type and its short label in DN text. The twelve predefined
// ones are named by `Predefined`, which converts to the instance, so that
// `subjectValue(ASN1DistinguishedNames::commonName)` reads as the instance it passes.
class ASN1DistinguishedNames {
  public:
    // In the order DN text shows them.
    enum Predefined : std::uint8_t {
        commonName,
        dnQualifier,
        serialNumber,
        givenName,
        surname,
        organizationalUnitName,
        organizationName,
        streetAddress,
        localityName,
        stateOrProvinceName,
        countryName,
        emailAddress,
    };

    // Implicit on purpose: a predefined name stands for its instance.
    ASN1DistinguishedNames(Predefined name);  // NOLINT(google-explicit-constructor)

    std::string_view oid() const { return oid_; }
    std::string_view representation() const { return representation_; }

    // All twelve, in the order DN text shows them.
    static std::span<const ASN1DistinguishedNames> all();

  private:
    constexpr ASN1DistinguishedNames(std::string_view oid, std::string_view representation)
        : oid_(oid), representation_(representation) {}

    std::string_view oid_;
    std::string_view representation_;
};

}  // namespace kivo::asn1
