#pragma once

// Start-up, the request loop and termination of the signing host.

namespace kivo::host {

// Runs the host until its input ends, the idle period runs out, or a request fails; returns the
// process exit status.
int runApplication(int argc, char** argv);

}  // namespace kivo::host
