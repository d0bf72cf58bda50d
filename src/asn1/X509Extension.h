#pragma once

// Read-only view of one Extension SEQUENCE of a certificate: extnID, the optional critical
// BOOLEAN and extnValue, whose OCTET STRING contents the decoder has re-read as DER where it
// could. Every operation answers absent, false or an empty list when the shape does not fit.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "asn1/ASN1Object.h"

namespace kivo::asn1 {

class X509Extension {
  public:
    explicit X509Extension(std::shared_ptr<ASN1Object> block);

    std::shared_ptr<ASN1Object> block() const { return block_; }

    // Child 0's value when it is text.
    std::optional<std::string> extensionOid() const;
    // The OID name table's name for extensionOid().
    std::optional<std::string> extensionName() const;
    // Child 1's boolean value when the block has at least 3 children; false otherwise.
    bool isCritical() const;
    // First-leaf value of the last child (the extnValue).
    std::optional<Value> extensionValue() const;
    // The text values of the children of the extnValue's last child: key purpose OIDs of an
    // extended key usage, the text GeneralNames of an alternative name.
    std::vector<std::string> valueStrings() const;

  private:
    std::shared_ptr<ASN1Object> block_;
};

}  // namespace kivo::asn1
