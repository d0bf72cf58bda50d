#pragma once

// One Extension SEQUENCE of a certificate: extnID, the optional critical BOOLEAN and extnValue,
// whose OCTET STRING contents the decoder has re-read as DER where it could.

#include <memory>

#include "asn1/ASN1Object.h"

namespace kivo::asn1 {

class X509Extension {
  public:
    explicit X509Extension(std::shared_ptr<ASN1Object> block);

    std::shared_ptr<ASN1Object> block() const { return block_; }

  private:
    std::shared_ptr<ASN1Object> block_;
};

}  // namespace kivo::asn1
