#pragma once

namespace velmora {

// Offline checks of the link rules and the version fallback. Prints one
// "FAIL: " line per failed check on standard error and the verdict on
// standard output; returns 0 when all pass, else 1.
int selfTest();

}  // namespace velmora
