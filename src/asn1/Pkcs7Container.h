#pragma once

// Read-only view of a DER (or BER) PKCS#7 / CMS blob over its decoded tree: the ContentInfo's
// content type and its content. Nothing is verified or decrypted. Like the certificate view,
// only construction fails (ASN1Exception); a blob of another shape is a container whose content
// type is none, and every getter answers absent instead of failing. Nothing on the request path
// uses it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1/ASN1Error.h"
#include "asn1/ASN1Object.h"

namespace kivo::asn1 {

enum class Pkcs7ContentType { none, data, signedData, envelopedData };

// The content types a container is recognised by.
inline constexpr std::string_view OID_Data = "1.2.840.113549.1.7.1";
inline constexpr std::string_view OID_SignedData = "1.2.840.113549.1.7.2";
inline constexpr std::string_view OID_EnvelopedData = "1.2.840.113549.1.7.3";

class Pkcs7Container {
    struct Token {};

  public:
    // Throws outOfBuffer when the bytes end inside an element, parseError when they hold no
    // element at all.
    static std::shared_ptr<Pkcs7Container> fromDer(std::span<const std::uint8_t> der);

    Pkcs7Container(Token, std::vector<std::shared_ptr<ASN1Object>> asn1);

    // The top-level nodes of the decoded input; the first is taken as the ContentInfo.
    const std::vector<std::shared_ptr<ASN1Object>>& asn1() const { return asn1_; }

    // The ContentInfo's contentType OID text, when its first child is an OBJECT IDENTIFIER.
    std::optional<std::string> contentTypeOid() const;
    // data, signedData or envelopedData by that OID; none for any other OID or shape.
    Pkcs7ContentType contentType() const;
    // The node inside the explicit [0] content field; nullptr when there is none.
    std::shared_ptr<ASN1Object> content() const;

  private:
    std::vector<std::shared_ptr<ASN1Object>> asn1_;
};

}  // namespace kivo::asn1
