#pragma once

// The Browsers section: for every browser the host knows, whether and how it is installed
// (natively, as a Snap, as a Flatpak), whether the manifests it reads let it start this host, and
// the route a sandboxed browser needs.

#include <vector>

#include "diagnostics/BrowserTable.h"
#include "diagnostics/Report.h"
#include "diagnostics/Surroundings.h"

namespace kivo::diagnostics {

// Adds the section's lines to `section`, and a blocker for each installed browser that cannot
// start the host.
void checkBrowsers(const std::vector<Browser>& browsers, const Surroundings& surroundings,
                   Section& section, std::vector<Blocker>& blockers);

}  // namespace kivo::diagnostics
