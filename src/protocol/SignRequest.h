#pragma once

// The sign request: find the signer's certificate once, sign every document on CounterpartData
// and then RenderedData, and answer with the signed documents only after all of them are done.

#include "protocol/Messages.h"
#include "protocol/RequestServices.h"

namespace kivo::protocol {

// Writes the one answer itself; throws SigningError (or another error) on any failure, in which
// case nothing has been written. Takes the request whole so that each document's Base64 text can
// go as soon as it is decoded.
void handleSignRequest(JsonRequest request, MessageChannel& channel,
                       const RequestServices& services);

}  // namespace kivo::protocol
