#pragma once

#include <filesystem>

namespace velmora {

// Installs the studio into `versionFolder` unless it is already complete, and
// returns the path of its executable (which is not checked to exist).
std::filesystem::path installStudio(const std::filesystem::path& versionFolder);

}  // namespace velmora
