#pragma once

// An error of the XPath engine while it evaluates a signing filter (a syntax error, an unknown
// function, ...). It is deliberately not a SigningError: the request loop reports it as an
// unexpected error. what() is the engine's description.

#include <stdexcept>

namespace kivo::xmldsig {

class XPathError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace kivo::xmldsig
