#pragma once

// --self-test: signs a built-in sample document the way a sign request does (the request goes
// through the same dispatch and sign path, with the user's approval or PIN dialog), then checks
// both signatures in-process: each reference digest over the signed element, and each signature
// value with the public key of the certificate the search chose (OpenSSL). Prints every step with
// the time it took.

#include <iosfwd>

#include "diagnostics/CommandLine.h"
#include "diagnostics/Surroundings.h"
#include "protocol/RequestServices.h"

namespace kivo::diagnostics {

// The sample document: one CounterpartData and one RenderedData element.
extern const char* const sampleDocument;

// Returns the exit status: 0 passed, 1 failed, 2 no signer given and not exactly one identity
// to take (the output lists them with the options that name each).
int runSelfTest(const Surroundings& surroundings, const protocol::RequestServices& services,
                const SignerOptions& signer, std::ostream& out);

}  // namespace kivo::diagnostics
