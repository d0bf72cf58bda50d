#pragma once

// Realistic two-part documents for the benchmarks, in two shapes: a contract whose CounterpartData
// and RenderedData elements each hold about half of the bytes. The same shape, seed and size
// always give the same document.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivo::bench {

enum class DocumentShape {
    // Both parts are nested elements with attributes, escaped text and indentation.
    ElementDense,
    // What users send: CounterpartData is ordinary rows, RenderedData's text is one large Base64
    // payload (the rendered contract), about half of the document.
    Payload,
};

// A document of about `targetBytes` bytes (within a few hundred bytes, never smaller than a
// minimal two-part document).
std::string makeDocument(std::size_t targetBytes, std::uint32_t seed = 1,
                         DocumentShape shape = DocumentShape::ElementDense);

// The empty Signature skeleton that an XML-DSig signer fills for the element `elementName`: the
// same SignedInfo (XPath Filter 2.0 intersect, enveloped signature, Canonical XML with comments,
// RSA-SHA256) and KeyInfo (X509Data, KeyValue) that the host produces.
std::string signatureTemplate(std::string_view elementName);

// `document` with a signatureTemplate appended as the last child of CounterpartData and of
// RenderedData: the input for a template-driven signer.
std::string withSignatureTemplates(std::string_view document);

}  // namespace kivo::bench
