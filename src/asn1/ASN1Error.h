#pragma once

// The one error of the ASN.1 layer. Only building a certificate view (and the decoder under it)
// fails; every getter of the views answers "absent" instead.

#include <stdexcept>
#include <string_view>

namespace kivo::asn1 {

enum class ASN1Error {
    parseError,   // the decoded input does not have the shape a certificate needs
    outOfBuffer,  // the input ends before all content octets of an element were read
};

// "parseError" or "outOfBuffer".
std::string_view errorName(ASN1Error error);

class ASN1Exception : public std::runtime_error {
  public:
    explicit ASN1Exception(ASN1Error error);
    ASN1Error error() const noexcept { return error_; }

  private:
    ASN1Error error_;
};

}  // namespace kivo::asn1
