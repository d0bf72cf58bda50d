#pragma once

// Checks signed documents with xmlsec1, an independent XML-DSig implementation.

#include <filesystem>
#include <string>

namespace kivo::testing {

// `invalid`: xmlsec1 processed the signature and rejected it. `notChecked`: it never got that
// far (no such signature, bad input), which a tampering test must not take for a rejection.
enum class XmlsecVerdict { valid, invalid, notChecked };

// Verifies the last Signature child of the element with local name `signedElementName`,
// trusting the certificate in `trustedCertificatePem`. `output` is what xmlsec1 printed.
XmlsecVerdict verifyWithXmlsec(const std::string& signedDocument,
                               const std::string& signedElementName,
                               const std::filesystem::path& trustedCertificatePem,
                               std::string& output);

}  // namespace kivo::testing
