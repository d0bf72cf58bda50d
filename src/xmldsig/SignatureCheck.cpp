#include "xmldsig/SignatureCheck.h"

#include <optional>

#include "foundation/Digests.h"
#include "foundation/Encodings.h"
#include "foundation/SigningError.h"
#include "xmldsig/Canonicalizer.h"
#include "xmldsig/DsigIdentifiers.h"
#include "xmldsig/SignatureAlgorithmTable.h"
#include "xmldsig/SigningFilter.h"
#include "xmldsig/XmlTree.h"

namespace kivo::xmldsig {
namespace {

using foundation::SigningError;

[[noreturn]] void malformed(std::string_view what) {
    throw SigningError(foundation::error_code::badDocumentShape,
                       "Signature check: " + std::string(what));
}

xmlNodePtr part(xmlNodePtr parent, std::string_view name) {
    xmlNodePtr child = parent != nullptr
                           ? firstChildInNamespace(parent, name, identifiers::dsigNamespace)
                           : nullptr;
    if (child == nullptr) {
        malformed("no " + std::string(name) + " element");
    }
    return child;
}

std::string textOf(xmlNodePtr element) {
    const StringHandle content(xmlNodeGetContent(element));
    return content ? reinterpret_cast<const char*>(content.get()) : "";
}

foundation::Bytes base64Of(xmlNodePtr element, std::string_view what) {
    std::optional<foundation::Bytes> bytes = foundation::base64DecodeStrict(textOf(element));
    if (!bytes) {
        malformed(std::string(what) + " is not Base64");
    }
    return std::move(*bytes);
}

}  // namespace

EnvelopedSignature readEnvelopedSignature(xmlDocPtr document, std::string_view signingFilter) {
    xmlNodePtr signedElement = selectSignedElement(document, signingFilter);
    xmlNodePtr signature = lastChildNamed(signedElement, "Signature");
    if (signature == nullptr) {
        malformed("no Signature under " + std::string(signingFilter));
    }
    xmlNodePtr signedInfo = part(signature, "SignedInfo");
    xmlNodePtr reference = part(signedInfo, "Reference");
    const auto method = attributeValue(part(signedInfo, "SignatureMethod"), "Algorithm");
    const SignatureAlgorithmEntry* algorithm =
        method ? signatureAlgorithmWithMethod(*method) : nullptr;
    if (algorithm == nullptr ||
        attributeValue(part(reference, "DigestMethod"), "Algorithm") != algorithm->digestMethod) {
        malformed("unknown signature or digest method");
    }

    foundation::DigestAccumulator digest(algorithm->digest);
    canonicalizeSubtree(signedElement, signature,
                        [&digest](std::span<const std::uint8_t> piece) { digest.update(piece); });
    EnvelopedSignature result;
    result.digestMatches =
        digest.finish() == base64Of(part(reference, "DigestValue"), "DigestValue");
    result.signedInfoText = canonicalSubtreeText(signedInfo);
    result.signatureValue = base64Of(part(signature, "SignatureValue"), "SignatureValue");
    result.digest = algorithm->digest;
    return result;
}

}  // namespace kivo::xmldsig
