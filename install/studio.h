#pragma once

#include <filesystem>

namespace velmora {

// Installs the studio into `versionFolder` unless it is already complete with
// `executable` in it, and returns the path of that executable.
std::filesystem::path installStudio(const std::filesystem::path& versionFolder,
                                    const char* executable);

}  // namespace velmora
