#pragma once

// One request from reading to answer, and the answer that ends the host when a request fails.

#include <exception>

#include "protocol/Messages.h"
#include "protocol/RequestServices.h"

namespace kivo::protocol {

enum class RequestOutcome { answered, endOfInput };

// Reads one request, applies its `verbose` and `idle_timeout`, runs the handler for its type and
// writes exactly one answer. Throws SigningError (or any other error) when the request fails;
// the caller then answers with `answerWithError` and ends the process.
RequestOutcome processRequest(MessageChannel& channel, const RequestServices& services);

// The error answer for a failure: SigningError keeps its code and message, anything else is
// code 100 "Unexpected - " + its description. Logs the ERROR line for it.
JsonErrorResponse errorResponseFor(const std::exception_ptr& failure);

// Writes the error answer for `failure` and logs that the host is about to end.
void answerWithError(MessageChannel& channel, const std::exception_ptr& failure);

// The shortest text that reads back as the same double, always with a fractional part and never
// with an exponent (5.0, 0.25, 100000.0).
std::string formatSeconds(double seconds);

}  // namespace kivo::protocol
