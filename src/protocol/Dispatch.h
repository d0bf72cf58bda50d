#pragma once

// One request from reading to answer, and the answer that ends the host when a request fails.

#include "protocol/Messages.h"
#include "protocol/RequestServices.h"

namespace kivo::protocol {

// `failed`: the request got an error answer and the host is to end.
enum class RequestOutcome { answered, failed, endOfInput };

// Reads one request, applies its `verbose` and `idle_timeout`, runs the handler for its type and
// writes exactly one answer. A failure is answered here: SigningError keeps its code and message,
// anything else is code 100 "Unexpected - " + its description; the ERROR line and the line saying
// the host is about to end are logged. The verbose flag is back to its earlier value on return.
RequestOutcome processRequest(MessageChannel& channel, const RequestServices& services);

// The shortest text that reads back as the same double, always with a fractional part and never
// with an exponent (5.0, 0.25, 100000.0).
std::string formatSeconds(double seconds);

}  // namespace kivo::protocol
