#pragma once

// The browser's channel kept away from descriptor 1. PKCS#11 modules are loaded into this process
// and some print to standard output; a line there would be read by the browser as a frame length.

#include "foundation/FileDescriptor.h"

namespace kivo::host {

// Moves the browser's output channel from descriptor 1 to a private descriptor, closed on exec,
// and points descriptor 1 at standard error (at /dev/null when standard error is closed). Returns
// the private descriptor; invalid when descriptor 1 was closed. Call once, before any module loads.
foundation::FileDescriptor takeChannelOffStandardOutput();

}  // namespace kivo::host
