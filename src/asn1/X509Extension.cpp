#include "asn1/X509Extension.h"

namespace kivo::asn1 {

X509Extension::X509Extension(std::shared_ptr<ASN1Object> block) : block_(std::move(block)) {}

}  // namespace kivo::asn1
