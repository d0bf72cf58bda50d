#pragma once

// Read-only view of one X.509 certificate over its decoded tree. Fields are found by their
// position in the TBSCertificate (version 3 layout) or by OID search; nothing is verified.
// Only construction fails (ASN1Exception); every getter answers absent, false or an empty list
// when a node it needs is missing or has another type. The view keeps the whole tree alive.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/ASN1Error.h"
#include "asn1/ASN1Object.h"
#include "asn1/ObjectIdentifiers.h"
#include "asn1/X509Extension.h"
#include "asn1/X509PublicKey.h"

namespace kivo::asn1 {

class X509Certificate {
    struct Token {};

  public:
    static constexpr std::string_view OID_KeyUsage = "2.5.29.15";
    static constexpr std::string_view OID_AuthorityKeyIdentifier = "2.5.29.35";
    // The Australian Business Number extension signers' certificates carry.
    static constexpr std::string_view OID_ABN = "1.2.36.1.333.1";

    // DER bytes. Throws outOfBuffer when they end inside an element, parseError when the first
    // decoded node has no child.
    static std::shared_ptr<X509Certificate> fromDer(std::span<const std::uint8_t> der);
    // PEM when the bytes are UTF-8 text holding "-----BEGIN CERTIFICATE-----", DER otherwise.
    static std::shared_ptr<X509Certificate> fromData(std::span<const std::uint8_t> data);
    // PEM text; parseError when no DER can be made from it.
    static std::shared_ptr<X509Certificate> fromPem(std::span<const std::uint8_t> pem);

    X509Certificate(Token, std::vector<std::shared_ptr<ASN1Object>> asn1);

    // notBefore < now < notAfter, both present.
    bool checkValidity(TimePoint now) const;
    // The serial number octets without leading zero octets.
    std::optional<Bytes> serial() const;

    // Issuer (TBSCertificate child 3) and subject (child 5): the text value of the first
    // attribute of the type.
    std::optional<std::string> issuerValue(const ASN1DistinguishedNames& name) const {
        return nameValue(issuerIndex, name.oid());
    }
    std::optional<std::string> subjectValue(const ASN1DistinguishedNames& name) const {
        return nameValue(subjectIndex, name.oid());
    }

    std::optional<TimePoint> notBefore() const;
    std::optional<TimePoint> notAfter() const;

    // Eight flags, index 0 digitalSignature ... 7 encipherOnly; empty without the extension.
    std::vector<bool> keyUsage() const;

    std::optional<X509PublicKey> publicKey() const;

    // The Extension holding the first occurrence of the OID in the extensions field.
    std::optional<X509Extension> extensionFor(std::string_view oid) const;

  private:
    static constexpr std::size_t issuerIndex = 3;
    static constexpr std::size_t subjectIndex = 5;

    std::shared_ptr<ASN1Object> blockChild(std::size_t index) const;
    std::optional<std::string> nameValue(std::size_t index, std::string_view oid) const;

    std::vector<std::shared_ptr<ASN1Object>> asn1_;
    std::shared_ptr<ASN1Object> block1_;
};

}  // namespace kivo::asn1
