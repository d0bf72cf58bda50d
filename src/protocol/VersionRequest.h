#pragma once

// The version request: the host's version, the operating system, the architecture and the
// install location, plus the signer's certificate (or why there is none) when the request
// names a signer.

#include "protocol/Messages.h"
#include "protocol/RequestServices.h"

namespace kivo::protocol {

// Throws the SigningError of fillVersionInfo; certificate-search failures are reported inside
// the answer instead.
JsonVersionResponse handleVersionRequest(const JsonRequest& request,
                                         const RequestServices& services);

// Sets major, minor, release, build, version, os, os_type and install_location. Throws
// SigningError 100 when the bundle version does not have exactly four dot-separated parts.
void fillVersionInfo(JsonVersionResponse& response, const VersionFacts& facts);

}  // namespace kivo::protocol
