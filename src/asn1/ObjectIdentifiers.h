#pragma once

// The two fixed vocabularies over dotted OID text: readable names for the OIDs certificates of
// this system carry, and the name attributes shown (in this order, under these labels) when an
// issuer or subject Name becomes one line of text.

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

// One distinguished-name attribute type and its short label in DN text.
class ASN1DistinguishedNames {
  public:
    const std::string& oid() const { return oid_; }
    const std::string& representation() const { return representation_; }

    static const ASN1DistinguishedNames& commonName();
    static const ASN1DistinguishedNames& dnQualifier();
    static const ASN1DistinguishedNames& serialNumber();
    static const ASN1DistinguishedNames& givenName();
    static const ASN1DistinguishedNames& surname();
    static const ASN1DistinguishedNames& organizationalUnitName();
    static const ASN1DistinguishedNames& organizationName();
    static const ASN1DistinguishedNames& streetAddress();
    static const ASN1DistinguishedNames& localityName();
    static const ASN1DistinguishedNames& stateOrProvinceName();
    static const ASN1DistinguishedNames& countryName();
    static const ASN1DistinguishedNames& emailAddress();

    // All twelve, in the order DN text shows them.
    static std::span<const ASN1DistinguishedNames> all();

    ASN1DistinguishedNames(std::string oid, std::string representation)
        : oid_(std::move(oid)), representation_(std::move(representation)) {}

  private:
    std::string oid_;
    std::string representation_;
};

// Characters that make a DN value appear between double quotes.
inline constexpr std::string_view dnSpecialCharacters = ",+=\n<>#;\\";

// "CN=..., OU=..., O=..., C=..., E=..." for a Name node: the first occurrence of each of the
// twelve attribute types, in table order; values holding a special character are quoted, never
// escaped. Empty text when the Name holds none of them.
std::string distinguishedNameText(const ASN1Object& name);

}  // namespace kivo::asn1
