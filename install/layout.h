#pragma once

#include <filesystem>

namespace velmora {

// Name of the empty file that marks a version or studio folder as whole.
inline constexpr char kCompleteMarker[] = ".complete";

// What a version folder starts, and what a studio folder starts.
inline constexpr char kPlayerExecutable[] = "velmora-player.exe";
inline constexpr char kStudioExecutable[] = "velmora-studio.exe";

// LOCALAPPDATA joined with "Velmora". Throws "LOCALAPPDATA is not set" when
// the variable is unset or empty, "LOCALAPPDATA is not an absolute path" when
// it is relative. Creates nothing.
std::filesystem::path installRoot();

// The complete folder with the greatest name (compared as text) directly in
// `versions`, or an empty path. A folder that cannot be listed counts as empty.
std::filesystem::path newestInstalled(const std::filesystem::path& versions);

}  // namespace velmora
