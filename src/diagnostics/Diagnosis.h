#pragma once

// --diagnose: every check, section by section. It only reads: the key stores are opened
// read-only and searched as a sign request searches them, nobody is asked for anything, nothing
// is signed and no file is written (the caller switches the process log off).

#include "diagnostics/CommandLine.h"
#include "diagnostics/Report.h"
#include "diagnostics/Surroundings.h"

namespace kivo::diagnostics {

Report diagnose(const Surroundings& surroundings, const SignerOptions& signer);

}  // namespace kivo::diagnostics
