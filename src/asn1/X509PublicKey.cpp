#include "asn1/X509PublicKey.h"

#include "asn1/ASN1DERDecoder.h"
#include "asn1/ASN1Error.h"
#include "asn1/ObjectIdentifiers.h"

namespace kivo::asn1 {

namespace {

// The RSAPublicKey SEQUENCE decoded from the subjectPublicKey octets; none when they do not
// decode or hold no element.
std::shared_ptr<ASN1Object> rsaPublicKeyNode(const Bytes& keyOctets) {
    try {
        const auto nodes = ASN1DERDecoder::decode(keyOctets);
        return nodes.empty() ? nullptr : nodes.front();
    } catch (const ASN1Exception&) {
        return nullptr;
    }
}

// The subjectPublicKey BIT STRING's octets, padding count dropped.
std::optional<Bytes> subjectPublicKeyOctets(const ASN1Object& pkBlock) {
    const auto bitString = pkBlock.childAt(1);
    return bitString ? bitString->bytesValue() : std::nullopt;
}

}  // namespace

X509PublicKey::X509PublicKey(std::shared_ptr<ASN1Object> pkBlock) : pkBlock_(std::move(pkBlock)) {}

std::optional<std::string> X509PublicKey::algorithmOid() const {
    const auto algorithm = pkBlock_->childAt(0);
    const auto oidNode = algorithm ? algorithm->childAt(0) : nullptr;
    return oidNode ? oidNode->textValue() : std::nullopt;
}

std::optional<std::string> X509PublicKey::algorithmName() const {
    return oidName(algorithmOid().value_or(""));
}

std::optional<std::string> X509PublicKey::algorithmParameters() const {
    const auto algorithm = pkBlock_->childAt(0);
    const auto parameters = algorithm ? algorithm->childAt(1) : nullptr;
    return parameters ? parameters->textValue() : std::nullopt;
}

std::optional<std::pair<Bytes, Bytes>> X509PublicKey::rsaComponents() const {
    if (algorithmOid() != OID_RSAEncryption) {
        return std::nullopt;
    }
    const auto octets = subjectPublicKeyOctets(*pkBlock_);
    const auto rsaKey = octets ? rsaPublicKeyNode(*octets) : nullptr;
    if (!rsaKey || rsaKey->childCount() < 2) {
        return std::nullopt;
    }
    auto modulus = rsaKey->childAt(0)->bytesValue();
    auto exponent = rsaKey->childAt(1)->bytesValue();
    if (!modulus || !exponent) {
        return std::nullopt;
    }
    return std::pair{std::move(*modulus), std::move(*exponent)};
}

}  // namespace kivo::asn1
