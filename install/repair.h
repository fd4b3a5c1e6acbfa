#pragma once

#include <cstddef>
#include <filesystem>

namespace velmora {

// Checks every file of the complete version `folder` (and of its studio, when
// that is installed) against its release's signed file list from the setup
// host, and fetches the missing or damaged ones alone, as an update does; a
// file is replaced only once its new copy arrived whole and checked. Returns
// how many it replaced. Throws "Velmora <version> cannot be repaired: <why>"
// when the host has no release file for it or the release no file list, and
// what fetching throws.
std::size_t repairVersion(const std::filesystem::path& folder);

// Completes the replacements of repairs in `versions` that were cut off
// between their two steps; nothing to do, and nothing written, otherwise.
void finishRepairs(const std::filesystem::path& versions);

// Whether `entry` of the versions folder is the record of a repair left
// unfinished, or the tombstone holding its new copies: neither may be pruned.
bool heldByRepair(const std::filesystem::path& entry);

}  // namespace velmora
