#pragma once

// Checks signed documents with xmlsec1, an independent XML-DSig implementation.

#include <string>

#include "xmldsig/TestIdentity.h"

namespace kivo::testing {

enum class XmlsecVerdict { valid, invalid, notChecked };

struct XmlsecResult {
    XmlsecVerdict verdict;
    std::string output;  // what xmlsec1 printed, for failure messages
};

// Verifies the XML-DSig Signature that is the last such child of the element with local name
// `signedElementName`, trusting `identity`'s certificate. `invalid` means xmlsec1 processed the
// signature and rejected it; `notChecked` means it never got that far (no such signature, bad
// input, ...), which a tampering test must not mistake for a rejection.
XmlsecResult verifyWithXmlsec(const std::string& signedDocument,
                              const std::string& signedElementName, const TestIdentity& identity);

}  // namespace kivo::testing
