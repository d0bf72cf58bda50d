#include "asn1/X509Certificate.h"

#include <limits>

#include "asn1/ASN1DERDecoder.h"
#include "asn1/Pem.h"
#include "asn1/TextDecoding.h"

namespace kivo::asn1 {

namespace {

// Positions in the TBSCertificate (version 3 layout).
constexpr std::size_t validityIndex = 4;
constexpr std::size_t publicKeyIndex = 6;
constexpr std::size_t extensionsIndex = 7;

constexpr std::size_t keyUsageFlagCount = 8;

std::shared_ptr<ASN1Object> childOf(const std::shared_ptr<ASN1Object>& node, std::size_t index) {
    return node ? node->childAt(static_cast<std::ptrdiff_t>(index)) : nullptr;
}

// The value beside a found OID: the last child of the hit's parent, when it is text.
std::optional<std::string> siblingText(const std::shared_ptr<ASN1Object>& hit) {
    const auto parent = hit ? hit->parent() : nullptr;
    const auto valueNode = parent ? parent->lastChild() : nullptr;
    return valueNode ? valueNode->textValue() : std::nullopt;
}

}  // namespace

X509Certificate::X509Certificate(Token, std::vector<std::shared_ptr<ASN1Object>> asn1)
    : asn1_(std::move(asn1)), block1_(asn1_.front()->childAt(0)) {}

std::shared_ptr<X509Certificate> X509Certificate::fromDer(std::span<const std::uint8_t> der) {
    auto nodes = ASN1DERDecoder::decode(der);
    if (nodes.empty() || nodes.front()->childCount() == 0) {
        throw ASN1Exception(ASN1Error::parseError);
    }
    return std::make_shared<X509Certificate>(Token{}, std::move(nodes));
}

std::shared_ptr<X509Certificate> X509Certificate::fromData(std::span<const std::uint8_t> data) {
    const auto text = decodeUtf8(data);
    if (text && text->find(pemBeginLine) != std::string::npos) {
        return fromPem(data);
    }
    return fromDer(data);
}

std::shared_ptr<X509Certificate> X509Certificate::fromPem(std::span<const std::uint8_t> pem) {
    const auto der = pemToDer(pem);
    if (!der) {
        throw ASN1Exception(ASN1Error::parseError);
    }
    return fromDer(*der);
}

bool X509Certificate::checkValidity(TimePoint now) const {
    const auto from = notBefore();
    const auto until = notAfter();
    return from && until && *from < now && now < *until;
}

std::optional<Bytes> X509Certificate::serial() const {
    const auto serialNode = blockChild(1);
    return serialNode ? serialNode->bytesValue() : std::nullopt;
}

std::optional<TimePoint> X509Certificate::notBefore() const {
    const auto time = childOf(blockChild(validityIndex), 0);
    return time ? time->timeValue() : std::nullopt;
}

std::optional<TimePoint> X509Certificate::notAfter() const {
    const auto time = childOf(blockChild(validityIndex), 1);
    return time ? time->timeValue() : std::nullopt;
}

std::vector<bool> X509Certificate::keyUsage() const {
    const auto hit = block1_->findOid(OID_KeyUsage);
    if (!hit) {
        return {};
    }
    const auto extension = hit->parent();
    const auto extnValue = extension ? extension->lastChild() : nullptr;
    const auto bitString = childOf(extnValue, 0);
    const auto bits = bitString ? bitString->bytesValue() : std::nullopt;
    const std::uint8_t flags = bits && !bits->empty() ? bits->front() : 0;
    std::vector<bool> usage(keyUsageFlagCount);
    for (std::size_t i = 0; i < keyUsageFlagCount; ++i) {
        usage[i] = (flags >> (7 - i)) & 1;
    }
    return usage;
}

std::optional<X509PublicKey> X509Certificate::publicKey() const {
    auto keyInfo = blockChild(publicKeyIndex);
    if (!keyInfo) {
        return std::nullopt;
    }
    return X509PublicKey(std::move(keyInfo));
}

std::optional<X509Extension> X509Certificate::extensionFor(std::string_view oid) const {
    const auto extensions = blockChild(extensionsIndex);
    const auto hit = extensions ? extensions->findOid(oid) : nullptr;
    auto block = hit ? hit->parent() : nullptr;
    if (!block) {
        return std::nullopt;
    }
    return X509Extension(std::move(block));
}

std::shared_ptr<ASN1Object> X509Certificate::blockChild(std::size_t index) const {
    return childOf(block1_, index);
}

std::optional<std::string> X509Certificate::nameValue(std::size_t index,
                                                      std::string_view oid) const {
    const auto name = blockChild(index);
    return name ? siblingText(name->findOid(oid)) : std::nullopt;
}

}  // namespace kivo::asn1
