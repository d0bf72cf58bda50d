#include "asn1/Pkcs7Container.h"

#include "asn1/ASN1DERDecoder.h"

namespace kivo::asn1 {

namespace {

bool hasIdentifier(const std::shared_ptr<ASN1Object>& node, ASN1Identifier wanted) {
    return node && node->identifier() == wanted;
}

constexpr ASN1Identifier sequenceIdentifier{0x30};
constexpr ASN1Identifier oidIdentifier{0x06};
constexpr ASN1Identifier explicitContentIdentifier{0xA0};  // [0], constructed

}  // namespace

Pkcs7Container::Pkcs7Container(Token, std::vector<std::shared_ptr<ASN1Object>> asn1)
    : asn1_(std::move(asn1)) {}

std::shared_ptr<Pkcs7Container> Pkcs7Container::fromDer(std::span<const std::uint8_t> der) {
    auto nodes = ASN1DERDecoder::decode(der);
    if (nodes.empty()) {
        throw ASN1Exception(ASN1Error::parseError);
    }
    return std::make_shared<Pkcs7Container>(Token{}, std::move(nodes));
}

std::optional<std::string> Pkcs7Container::contentTypeOid() const {
    const auto& contentInfo = asn1_.front();
    if (!hasIdentifier(contentInfo, sequenceIdentifier)) {
        return std::nullopt;
    }
    const auto type = contentInfo->childAt(0);
    return hasIdentifier(type, oidIdentifier) ? type->textValue() : std::nullopt;
}

Pkcs7ContentType Pkcs7Container::contentType() const {
    const auto oid = contentTypeOid();
    if (oid == OID_Data) {
        return Pkcs7ContentType::data;
    }
    if (oid == OID_SignedData) {
        return Pkcs7ContentType::signedData;
    }
    if (oid == OID_EnvelopedData) {
        return Pkcs7ContentType::envelopedData;
    }
    return Pkcs7ContentType::none;
}

std::shared_ptr<ASN1Object> Pkcs7Container::content() const {
    if (!contentTypeOid()) {
        return nullptr;
    }
    const auto field = asn1_.front()->childAt(1);
    return hasIdentifier(field, explicitContentIdentifier) ? field->childAt(0) : nullptr;
}

}  // namespace kivo::asn1
