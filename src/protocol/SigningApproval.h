#pragma once

// The text a user reads before approving a sign request: which certificate signs, how many
// documents and which, and the extension that asked. Two short lines, so that a pinentry window
// shows them whole; every text from the request or the certificate is cleaned of control and
// format characters, isolated from its neighbours and shortened, so it can neither add lines of
// its own, nor reorder or hide the rest, nor push it away.

#include <optional>
#include <span>
#include <string>

#include "certs/CertificateSelection.h"
#include "protocol/Messages.h"

namespace kivo::protocol {

// How many document ids are named before "and N more".
inline constexpr std::size_t namedDocumentIds = 3;

std::string signingPurpose(const certs::CertificateSelection& selection,
                           std::span<const XmlData> documents,
                           const std::optional<std::string>& caller);

// The browser's word on who started the host: Chrome passes the extension's origin as the first
// argument, Firefox the manifest's path and then the extension's id. None otherwise.
std::optional<std::string> callerFromArguments(std::span<const char* const> arguments);

}  // namespace kivo::protocol
