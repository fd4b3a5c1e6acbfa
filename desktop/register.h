#pragma once

#include <filesystem>

namespace velmora {

// The Start-menu shortcuts' names, without the platform's extension.
inline constexpr const char* kShortcutNames[] = {"Velmora", "Velmora Studio"};

// Keeps a copy of the running launcher's executable in the install root's
// "Launcher" folder, registers that copy for "velmora-player:" links, writes
// "icon.ico" from the version's PNG, the two Start-menu shortcuts and the Apps
// list's entry. Each is written only when it differs from what is there. Only
// the copy can throw; the rest is best effort.
void registerHandler(const std::filesystem::path& root, const std::filesystem::path& versionFolder);

// The copy step alone; returns the launcher path in the "Launcher" folder.
std::filesystem::path copyLauncher(const std::filesystem::path& root);

}  // namespace velmora
