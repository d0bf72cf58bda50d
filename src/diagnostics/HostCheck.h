#pragma once

// The Host section: the host's version and program file, the architecture it was built for, and
// the versions of the libraries it runs with.

#include "diagnostics/Report.h"
#include "diagnostics/Surroundings.h"

namespace kivo::diagnostics {

void checkHost(const Surroundings& surroundings, Section& section);

}  // namespace kivo::diagnostics
