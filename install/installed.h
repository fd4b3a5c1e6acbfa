#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "install/release/release.h"
#include "install/reuse.h"

namespace velmora {

struct InstalledVersion {
  std::filesystem::path folder;
  // The release it records; nothing when it has none or one that cannot be read.
  std::optional<Release> release;
};

// The versions folder as one start sees it: listed once, each complete version's
// release record read once, for the newest version, the order of versions, the
// fallback, the prune and the carry to consult. Built again only where another
// start may have changed the folder meanwhile (after waiting for the install lock).
class InstalledVersions {
 public:
  // The folders directly in `versions` that hold the marker, staging folders
  // left out. A folder that cannot be listed counts as empty.
  explicit InstalledVersions(std::filesystem::path versions);

  const std::filesystem::path& folder() const { return versions_; }
  const std::vector<InstalledVersion>& complete() const { return complete_; }
  // The newest complete version (of equal ones, the greatest name), or nullptr.
  const InstalledVersion* newest() const;
  // The complete version at `folder`, also under another case where names ignore it, or nullptr.
  const InstalledVersion* find(const std::filesystem::path& folder) const;
  // Whether anything but `keep` stood in the folder, complete or not.
  bool hasOthers(const std::filesystem::path& keep) const;

  // Whether complete version folder `a` is newer than `b`. With a release key
  // built in, by the `published` times of the releases they record (one that
  // records none is older than one that does), so that a rollback published
  // again is newest; otherwise, and between two that record none, by name
  // compared as text. A folder this start has not seen is read now.
  bool newer(const std::filesystem::path& a, const std::filesystem::path& b) const;

  // This start made `folder` a complete version recording `release`.
  void record(const std::filesystem::path& folder, const std::optional<Release>& release);

  // The newest version's package and identity records, read on first ask;
  // empty when damaged or reached through a link: they vouch for nothing then.
  const std::vector<PackageRecord>& newestFiles() const;
  const CheckedFiles& newestIdentities() const;

 private:
  std::optional<std::int64_t> published(const std::filesystem::path& folder) const;
  void readCarried() const;

  std::filesystem::path versions_;
  std::vector<InstalledVersion> complete_;
  std::vector<std::filesystem::path> entries_;
  mutable bool carriedRead_ = false;
  mutable std::vector<PackageRecord> newestFiles_;
  mutable CheckedFiles newestIdentities_;
};

// The newest complete version in `versions`, or an empty path.
std::filesystem::path newestInstalled(const std::filesystem::path& versions);

}  // namespace velmora
