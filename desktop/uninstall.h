#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

// Removes the install root `root` with everything in it, never entering a link,
// then the shortcuts and the scheme registration, and last the Apps list's entry
// and the launcher copy (each registration only while it names this install).
// Returns what it had to leave because a program holds it (a version in use,
// what is left of one, the "Launcher" folder while another launcher runs from
// it); the entry and the launcher copy then stay, so the removal can be run
// again from the Apps list. Where the running program's own file cannot be
// removed, a temporary copy removes the "Launcher" folder and the root once
// this process has exited. A missing root only has its registrations removed.
// Throws, removing nothing, when `root` holds neither "Versions" nor
// "Launcher" or when its real path cannot be told; throws on other failures.
std::vector<std::filesystem::path> uninstall(const std::filesystem::path& root);

// The temporary copy's part: waits (bounded) for the process that `starter`
// names (platform::waitForStarter) to exit, then removes the root's "Launcher"
// folder, and the root when that leaves it empty.
void finishUninstall(const std::filesystem::path& root, const std::string& starter);

}  // namespace velmora
