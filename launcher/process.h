#pragma once

#include <filesystem>

#include "links/launch.h"

namespace velmora {

// Starts the player, the studio or (in tool-server mode) the studio's tool
// server from `versionFolder`, installing the studio first when needed. Waits
// only for the tool server and returns its exit code; otherwise 0. Throws
// "cannot start <path>" when the process cannot be created.
int startExecutable(const Launch& launch, const std::filesystem::path& versionFolder, bool mcpMode);

}  // namespace velmora
