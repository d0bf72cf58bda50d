#pragma once

// What a request needs from this machine, as the host and --self-test both serve requests: the
// version facts, the user's key stores (opened per request), the build's token class and the
// system clock. The caller and the idle period are the serving loop's to add.

#include <vector>

#include "protocol/RequestServices.h"

namespace kivo::diagnostics {

// `browserChannel`: the descriptors of the browser's channel, which a dialog watches so that it
// is withdrawn when the browser hangs up; none for a terminal.
protocol::RequestServices systemServices(std::vector<int> browserChannel = {});

}  // namespace kivo::diagnostics
