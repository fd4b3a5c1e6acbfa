#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace velmora {

// Removes the shortcuts, the scheme registration and the Apps list's entry
// (each registration only while it names this install), then the install root
// `root` with everything in it, never entering a link. Returns what it left
// because a program holds it (a version in use, the "Launcher" folder while
// another launcher runs from it); the entry and the launcher copy then stay, so
// the removal can be run again from the Apps list. Where the running program's
// own file cannot be removed, a temporary copy removes the "Launcher" folder and
// the root once this process has exited. A missing root only has its
// registrations removed. Throws, removing nothing, when `root` holds neither
// "Versions" nor "Launcher"; throws on other failures.
std::vector<std::filesystem::path> uninstall(const std::filesystem::path& root);

// The temporary copy's part: waits (bounded) for `processId` to exit, then
// removes the root's "Launcher" folder, and the root when that leaves it empty.
void finishUninstall(const std::filesystem::path& root, std::uint32_t processId);

}  // namespace velmora
