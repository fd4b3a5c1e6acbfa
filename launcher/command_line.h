#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

// One argument as a single command-line token that the Windows argument
// parser turns back into exactly `arg`. Every token is quoted.
template <class Ch>
std::basic_string<Ch> quoteArg(const std::basic_string<Ch>& arg);

// The quoted executable path followed by each quoted UTF-8 argument, in the
// platform's native string form.
std::filesystem::path::string_type buildCommandLine(const std::filesystem::path& executable,
                                                    const std::vector<std::string>& args);

}  // namespace velmora
