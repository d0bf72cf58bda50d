#pragma once

// Adds enveloped XML-DSig signatures to one XML document. The document is parsed once; each
// signature goes into the element that a signing filter (an XPath 1.0 expression selecting
// exactly one element) names, as that element's last child, and the signed document is read
// back as Canonical XML. Operations change the tree in place and are not undone when a later
// step fails: the caller drops the signer on any error.

#include <libxml/tree.h>

#include <optional>
#include <string>
#include <string_view>

#include "foundation/PrivateKey.h"
#include "xmldsig/Canonicalizer.h"
#include "xmldsig/LibxmlResources.h"
#include "xmldsig/XPathError.h"

namespace kivo::xmldsig {

class XmlSigner {
  public:
    // Parses the document text (UTF-8). Throws SigningError 104 "Invalid XML input: ..." (after
    // an ERROR log line) for text that is not well-formed XML, and 103 "XML input document
    // contains no root" when there is no root element.
    explicit XmlSigner(std::string_view documentText);

    XmlSigner(const XmlSigner&) = delete;
    XmlSigner& operator=(const XmlSigner&) = delete;
    XmlSigner(XmlSigner&&) noexcept = default;
    XmlSigner& operator=(XmlSigner&&) noexcept = default;
    ~XmlSigner() = default;

    xmlDocPtr xmlDocument() const { return xmlDocument_.get(); }
    xmlNodePtr xmlRootElem() const { return xmlRootElem_; }

    // Appends KeyValue/RSAKeyValue with the given Modulus and Exponent texts (placed unchanged)
    // to the KeyInfo of the signature under the selected element.
    void addRSAKeyValue(std::string_view modulus, std::string_view exponent,
                        std::string_view signingFilter);

    // Appends X509Data/X509Certificate holding the certificate's DER bytes in Base64 to the
    // KeyInfo of the signature under the selected element.
    void addX509Data(const foundation::StoredCertificate& certificate,
                     std::string_view signingFilter);

    // Signs the selected element: fills SignedInfo (reference with an XPath Filter 2.0 intersect
    // transform holding the filter, the enveloped-signature transform and Canonical XML), its
    // digest and the signature value. The algorithm name is "RSA_SHA1", "RSA_SHA256" (also
    // "default" or none) or "RSA_SHA512"; any other name throws SigningError 108 before the tree
    // is touched. Errors of signData pass through unchanged.
    void signElement(foundation::PrivateKey& privateKey,
                     const std::optional<std::string>& signatureAlgorithmName,
                     std::string_view signingFilter);

    // The last unprefixed Signature child of the selected element, created (with the XML-DSig
    // default namespace) when there is none, with SignedInfo, SignatureValue and KeyInfo children
    // added where missing. Throws SigningError 103 unless the filter selects exactly one element,
    // and XPathError when the XPath engine rejects it.
    xmlNodePtr findOrCreateSignature(std::string_view signingFilter);

    // Canonical XML 1.0 without comments of the whole document: the signed output, whole or in
    // pieces as it is produced.
    std::string canonicalText() const;
    void writeCanonicalText(const CanonicalSink& sink) const;

    // Hands the tree over (to be freed elsewhere); the signer is empty afterwards.
    DocumentHandle takeDocument() &&;

  private:
    // The last child named `name`, when it carries `attributeName` = `attributeValue` (or when no
    // attribute is asked for); otherwise a new such child, with a default-namespace declaration
    // of `namespaceUri` when given, appended as the last child. Only the last child decides.
    static xmlNodePtr findOrCreateChild(xmlNodePtr parent, std::string_view name,
                                        std::optional<std::string_view> attributeName,
                                        std::optional<std::string_view> attributeValue,
                                        std::optional<std::string_view> namespaceUri);

    // Ensures the SignedInfo content for one reference to the element `signingFilter` selects.
    static void describeReference(xmlNodePtr signedInfo, std::string_view signatureMethod,
                                  std::string_view digestMethod, std::string_view signingFilter);

    DocumentHandle xmlDocument_;
    xmlNodePtr xmlRootElem_ = nullptr;
};

}  // namespace kivo::xmldsig
