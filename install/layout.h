#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace velmora {

// Name of the empty file that marks a version or studio folder as whole.
inline constexpr char kCompleteMarker[] = ".complete";

// What a version folder starts, and what a studio folder starts.
inline constexpr char kPlayerExecutable[] = "velmora-player.exe";
inline constexpr char kStudioExecutable[] = "velmora-studio.exe";

// What a folder being installed has appended to its final name, and what the
// packages a cut-off install finished keep while they wait for the next try.
inline constexpr char kStagingSuffix[] = ".partial";
inline constexpr char kResumeSuffix[] = ".resume";

// True for a name ending in either, or in the ".old" of a folder set aside for
// removal, in any case (Windows names ignore case): such a folder is never
// taken for a version, whatever it holds.
bool isStagingName(const std::string& name);

// LOCALAPPDATA joined with "Velmora". Throws "LOCALAPPDATA is not set" when
// the variable is unset or empty, "LOCALAPPDATA is not an absolute path" when
// it is relative. Creates nothing.
std::filesystem::path installRoot();

// Complete, with `program` in it: a scanner may have taken the program away
// while the marker stayed.
bool usableInstall(const std::filesystem::path& folder, const char* program);

// Removes an entry of the versions folder. A version is renamed to a name set
// aside for removal first, so that it goes whole or not at all (a folder
// holding a running program or an open file refuses the rename: "in use",
// nothing touched), then deleted there; what cannot be deleted yet ("later")
// goes with a later start's prune. Busy errors are waited out for `wait`. A
// link or junction is removed itself, never entered.
enum class VersionRemoval { removed, later, inUse };
VersionRemoval removeVersion(const std::filesystem::path& version, std::chrono::milliseconds wait);

// Whether `path` is a regular file, not a link, of exactly `size` bytes with
// SHA-256 `sha256` (64 lower-case hex digits); reads it once.
bool holdsContent(const std::filesystem::path& path, std::uint64_t size, const std::string& sha256);

// Whether `path` is a symbolic link or junction itself.
bool isLink(const std::filesystem::path& path);

// No link or junction on the way from `base` (itself included) to `path`
// ('/'-separated) below it; parts that do not exist pass. `seen` keeps the
// folders found clean across calls with the same base.
bool linkFree(const std::filesystem::path& base, std::string path, std::set<std::string>& seen);

}  // namespace velmora
