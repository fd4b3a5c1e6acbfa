#pragma once

#include <string>
#include <vector>

namespace velmora {

// Splits a command line the way the Windows runtime's argument parser does:
// the inverse of quoteArg. The first token follows the program-name rule (no
// escapes). Here, below every subsystem, because the POSIX platform layer
// starts programs with what a Windows child would receive.
template <class Ch>
std::vector<std::basic_string<Ch>> splitCommandLine(const std::basic_string<Ch>& commandLine);

}  // namespace velmora
