#pragma once

// The Identities section: every certificate with a private key in the key stores, with what a
// support desk asks about it, and, given a signer, the verdict of the selection a sign request
// runs on each: which one it would use and why it passed over every other.

#include <vector>

#include "certs/CertificateSelection.h"
#include "diagnostics/CommandLine.h"
#include "diagnostics/Report.h"
#include "diagnostics/Surroundings.h"
#include "foundation/KeyStore.h"

namespace kivo::diagnostics {

// How close an expiry must be for a warning.
inline constexpr int expiryWarningDays = 30;

// Every identity of the stores, in search order, as the certificate search examines them (the
// verdicts mean nothing here).
std::vector<certs::ExaminedIdentity> allIdentities(foundation::KeyStore& store,
                                                   const Surroundings& surroundings);

void checkIdentities(foundation::KeyStore& store, const Surroundings& surroundings,
                     const SignerOptions& signer, Section& section, std::vector<Blocker>& blockers);

}  // namespace kivo::diagnostics
