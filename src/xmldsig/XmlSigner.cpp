#include "xmldsig/XmlSigner.h"

#include <array>

#include "foundation/Digests.h"
#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
#include "xmldsig/Canonicalizer.h"
#include "xmldsig/DocumentParser.h"
#include "xmldsig/DsigIdentifiers.h"
#include "xmldsig/SignatureAlgorithmTable.h"
#include "xmldsig/SigningFilter.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {

namespace {

namespace ids = identifiers;
using foundation::SigningError;

constexpr std::array<std::string_view, 3> signatureParts{"SignedInfo", "SignatureValue", "KeyInfo"};

// The child the anchor guarantees; a missing one means the tree was changed behind our back.
xmlNodePtr requiredChild(xmlNodePtr parent, std::string_view name) {
    xmlNodePtr child = firstChildNamed(parent, name);
    if (child == nullptr) {
        throw SigningError(foundation::error_code::badDocumentShape,
                           reinterpret_cast<const char*>(parent->name) +
                               std::string(" element has no ") + std::string(name) + " child");
    }
    return child;
}

foundation::Bytes referenceDigest(xmlNodePtr signedElement, xmlNodePtr signature,
                                  foundation::DigestAlgorithm algorithm) {
    foundation::DigestAccumulator digest(algorithm);
    canonicalizeSubtree(signedElement, signature,
                        [&digest](std::span<const std::uint8_t> piece) { digest.update(piece); });
    return digest.finish();
}

}  // namespace

XmlSigner::XmlSigner(std::string_view documentText) : xmlDocument_(parseXmlDocument(documentText)) {
    xmlRootElem_ = xmlDocGetRootElement(xmlDocument_.get());
    // Unreachable: without recovery the parser refuses a document with no element, and
    // parseXmlDocument then fails first ("Document is empty", "Start tag expected").
    if (xmlRootElem_ == nullptr) {
        throw SigningError(foundation::error_code::badDocumentShape,
                           "XML input document contains no root");
    }
}

void XmlSigner::addRSAKeyValue(std::string_view modulus, std::string_view exponent,
                               std::string_view signingFilter) {
    xmlNodePtr keyInfo = requiredChild(findOrCreateSignature(signingFilter), "KeyInfo");
    xmlNodePtr rsaKeyValue = appendElement(appendElement(keyInfo, "KeyValue"), "RSAKeyValue");
    replaceText(appendElement(rsaKeyValue, "Modulus"), modulus);
    replaceText(appendElement(rsaKeyValue, "Exponent"), exponent);
}

void XmlSigner::addX509Data(const foundation::StoredCertificate& certificate,
                            std::string_view signingFilter) {
    xmlNodePtr keyInfo = requiredChild(findOrCreateSignature(signingFilter), "KeyInfo");
    // Read the certificate first so that a failing store leaves no empty X509Data behind.
    const std::string encoded = foundation::base64Encode(certificate.derBytes());
    replaceText(appendElement(appendElement(keyInfo, "X509Data"), "X509Certificate"), encoded);
}

void XmlSigner::signElement(foundation::PrivateKey& privateKey,
                            const std::optional<std::string>& signatureAlgorithmName,
                            std::string_view signingFilter) {
    const SignatureAlgorithmEntry& algorithm = signatureAlgorithmNamed(signatureAlgorithmName);
    xmlNodePtr signature = findOrCreateSignature(signingFilter);
    xmlNodePtr signedInfo = firstChildInNamespace(signature, "SignedInfo", ids::dsigNamespace);
    if (signedInfo == nullptr) {
        throw SigningError(foundation::error_code::badDocumentShape,
                           "Signature element is not in the XML-DSig namespace");
    }
    describeReference(signedInfo, algorithm.signatureMethod, algorithm.digestMethod, signingFilter);

    // The tree has changed, so the filter is evaluated once more, as a verifier will.
    xmlNodePtr signedElement = selectSignedElement(xmlDocument_.get(), signingFilter);
    const foundation::Bytes digest = referenceDigest(signedElement, signature, algorithm.digest);
    xmlNodePtr digestValue = requiredChild(requiredChild(signedInfo, "Reference"), "DigestValue");
    replaceText(digestValue, foundation::base64Encode(digest));

    const std::string signedInfoText = canonicalSubtreeText(signedInfo);
    const foundation::Bytes signatureBytes = foundation::signData(
        foundation::byteView(signedInfoText), privateKey, algorithm.keyAlgorithm);
    replaceText(requiredChild(signature, "SignatureValue"),
                foundation::base64Encode(signatureBytes));
}

xmlNodePtr XmlSigner::findOrCreateSignature(std::string_view signingFilter) {
    xmlNodePtr signedElement = selectSignedElement(xmlDocument_.get(), signingFilter);
    xmlNodePtr signature = lastChildNamed(signedElement, "Signature");
    if (signature == nullptr) {
        NodeHandle created = newElementUnder(signedElement, "Signature");
        declareDefaultNamespace(created.get(), ids::dsigNamespace);
        signature = appendChild(signedElement, std::move(created));
    }
    for (const std::string_view part : signatureParts) {
        if (firstChildNamed(signature, part) == nullptr) {
            appendElement(signature, part);
        }
    }
    return signature;
}

std::string XmlSigner::canonicalText() const {
    return canonicalDocumentText(xmlDocument_.get());
}

void XmlSigner::writeCanonicalText(const CanonicalSink& sink) const {
    canonicalizeDocument(xmlDocument_.get(), sink);
}

DocumentHandle XmlSigner::takeDocument() && {
    xmlRootElem_ = nullptr;
    return std::move(xmlDocument_);
}

xmlNodePtr XmlSigner::findOrCreateChild(xmlNodePtr parent, std::string_view name,
                                        std::optional<std::string_view> attributeName,
                                        std::optional<std::string_view> attributeValue,
                                        std::optional<std::string_view> namespaceUri) {
    if (xmlNodePtr last = lastChildNamed(parent, name); last != nullptr) {
        if (!attributeName) {
            return last;
        }
        const std::optional<std::string> value = xmldsig::attributeValue(last, *attributeName);
        if (value && attributeValue && *value == *attributeValue) {
            return last;
        }
    }
    NodeHandle child = newElementUnder(parent, name);
    if (attributeName && attributeValue) {
        setAttribute(child.get(), *attributeName, *attributeValue);
    }
    if (namespaceUri) {
        declareDefaultNamespace(child.get(), *namespaceUri);
    }
    return appendChild(parent, std::move(child));
}

void XmlSigner::describeReference(xmlNodePtr signedInfo, std::string_view signatureMethod,
                                  std::string_view digestMethod, std::string_view signingFilter) {
    constexpr std::string_view algorithmAttribute = "Algorithm";
    findOrCreateChild(signedInfo, "CanonicalizationMethod", algorithmAttribute,
                      ids::c14nWithComments, std::nullopt);
    findOrCreateChild(signedInfo, "SignatureMethod", algorithmAttribute, signatureMethod,
                      std::nullopt);
    xmlNodePtr reference = findOrCreateChild(signedInfo, "Reference", "URI", "", std::nullopt);

    xmlNodePtr transforms = lastChildNamed(reference, "Transforms");
    if (transforms == nullptr) {
        transforms = appendElement(reference, "Transforms");
    }
    xmlNodePtr filterTransform = findOrCreateChild(transforms, "Transform", algorithmAttribute,
                                                   ids::xpathFilter2, std::nullopt);
    xmlNodePtr xpath =
        findOrCreateChild(filterTransform, "XPath", "Filter", "intersect", ids::xpathFilter2);
    replaceText(xpath, signingFilter);
    findOrCreateChild(transforms, "Transform", algorithmAttribute, ids::envelopedSignature,
                      std::nullopt);
    findOrCreateChild(transforms, "Transform", algorithmAttribute, ids::c14nWithComments,
                      std::nullopt);

    findOrCreateChild(reference, "DigestMethod", algorithmAttribute, digestMethod, std::nullopt);
    if (firstChildNamed(reference, "DigestValue") == nullptr) {
        appendElement(reference, "DigestValue");
    }
}

}  // namespace kivo::xmldsig
