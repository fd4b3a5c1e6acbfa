#pragma once

// Removing and replacing the way NTFS allows it, on top of FileSystem: a name
// is freed by a rename first (a rename is allowed where a delete is not, and
// leaves nothing half done), and what cannot be deleted yet stays under a
// name that nothing takes for a version or a launcher.

#include <chrono>
#include <filesystem>
#include <functional>
#include <system_error>

#include "platform/file_system.h"

namespace platform {

// What every name set aside for removal ends with (in any case, as Windows
// compares names).
inline constexpr char kTombstoneSuffix[] = ".old";

// ".<name>.<random>.old" in `graveyard`.
fs::path tombstoneIn(const fs::path& graveyard, const fs::path& name);

// Deletes `path` and everything below it where it stands, children first,
// never entering a link, waiting out busy errors for `bound` per entry. What
// still refuses (held open, mapped, running, or pending deletion until another
// program closes it) stays, and so do the folders above it: true when nothing
// is left.
bool deleteTree(FileSystem& files, const fs::path& path,
                std::chrono::milliseconds bound = std::chrono::milliseconds(0));

struct Removal {
  // Why `path` could not be moved aside; nothing of it was touched.
  std::error_code refused;
  // Moved aside, but some of it stays in the tombstone for a later start.
  bool left = false;
};

// Renames `path` to a tombstone in `graveyard`, so that it goes whole or not
// at all, then deletes the tombstone, busy errors waited out for `bound`.
// Nothing to do when `path` is missing.
Removal removeAside(FileSystem& files, const fs::path& path, const fs::path& graveyard,
                    std::chrono::milliseconds bound);

// Hears, before each pause of a busy move, how long it has waited.
using Waiting = std::function<void(std::chrono::milliseconds waited)>;

// Renames the folder `from` to `to`, never with a replace (folders take none):
// an existing `to` is removed aside into `graveyard` first. A busy `from` is
// waited for up to `bound`. Throws std::runtime_error in the launcher's words.
void moveFolder(FileSystem& files, const fs::path& from, const fs::path& to,
                const fs::path& graveyard, std::chrono::milliseconds bound,
                const Waiting& waiting = {});

// Puts `fresh`, a new file no other name shares, at `target`: an existing
// target is renamed aside to "<target>.<random>.old", or into `graveyard` (a
// folder on the same volume) when given (allowed while it runs, is open or is
// read-only, unlike replacing it) and deleted if it can be now; `fresh` loses
// read-only and takes the free name. Throws like moveFolder, with the old
// target back in place.
void replaceFile(FileSystem& files, const fs::path& fresh, const fs::path& target,
                 const fs::path& graveyard = {});

// Puts `fresh` at `target` as replaceFile does, in one step where the system
// allows it; only where that is refused (an old copy that runs or is open) are
// replaceFile's two taken, `recording` called first so that a start cut off
// between them can complete it with finishReplacement().
void replaceInOneStep(FileSystem& files, const fs::path& fresh, const fs::path& target,
                      const fs::path& graveyard, const std::function<void()>& recording);

// Completes a replacement cut off between its two steps: `fresh` takes the
// name `target` where that is missing. True when it did.
bool finishReplacement(FileSystem& files, const fs::path& fresh, const fs::path& target);

}  // namespace platform
