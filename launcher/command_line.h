#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

// One argument as a single command-line token that the Windows argument
// parser turns back into exactly `arg`. Every token is quoted.
template <class Ch>
std::basic_string<Ch> quoteArg(const std::basic_string<Ch>& arg);

// The inverse: splits a command line the way the Windows runtime's argument
// parser does. The first token follows the program-name rule (no escapes).
template <class Ch>
std::vector<std::basic_string<Ch>> splitCommandLine(const std::basic_string<Ch>& commandLine);

// The quoted executable path followed by each quoted UTF-8 argument, in the
// platform's native string form.
std::filesystem::path::string_type buildCommandLine(const std::filesystem::path& executable,
                                                    const std::vector<std::string>& args);

}  // namespace velmora
