#include "asn1/ASN1Error.h"

#include <string>

namespace kivo::asn1 {

namespace {

std::string messageFor(ASN1Error error) {
    switch (error) {
        case ASN1Error::parseError:
            return "ASN.1 parseError: the data is not a certificate";
        case ASN1Error::outOfBuffer:
            return "ASN.1 outOfBuffer: the data ends inside an element";
    }
    return "ASN.1 error";
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
