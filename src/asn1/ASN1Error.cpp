#include "asn1/ASN1Error.h"

#include <string>

namespace kivo::asn1 {

namespace {

std::string messageFor(ASN1Error error) {
    const std::string_view meaning = error == ASN1Error::outOfBuffer
                                         ? "the data ends inside an element"
                                         : "the data is not a certificate";
    return "ASN.1 " + std::string(errorName(error)) + ": " + std::string(meaning);
}

}  // namespace

std::string_view errorName(ASN1Error error) {
    switch (error) {
        case ASN1Error::parseError:
            return "parseError";
        case ASN1Error::outOfBuffer:
            return "outOfBuffer";
    }
    return "unknown";
}

ASN1Exception::ASN1Exception(ASN1Error error)
    : std::runtime_error(messageFor(error)), error_(error) {}

}  // namespace kivo::asn1
