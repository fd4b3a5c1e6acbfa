#include "launcher/process.h"

#include <stdexcept>

#include "base/text.h"
#include "install/layout.h"
#include "install/studio.h"
#include "launcher/command_line.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace velmora {

namespace fs = std::filesystem;

int startExecutable(const Launch& launch, const fs::path& versionFolder, bool mcpMode) {
  fs::path executable = versionFolder / kPlayerExecutable;
  if (launch.studio)
    executable =
        installStudio(versionFolder, mcpMode ? "velmora-studio-mcp.exe" : kStudioExecutable);
  const auto commandLine = buildCommandLine(executable, launch.args);
  // The arguments carry the launch ticket: only their count.
  platform::logLine("starting " + utf8(executable) + " with " + std::to_string(launch.args.size()) +
                    " arguments");
  // The tool server speaks over our own standard streams, so only it inherits
  // handles and only it is awaited.
  const auto status =
      platform::startProcess(executable, commandLine, executable.parent_path(), mcpMode, mcpMode);
  if (!status) throw std::runtime_error("cannot start " + utf8(executable));
  return static_cast<int>(*status);
}

}  // namespace velmora
