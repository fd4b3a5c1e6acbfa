#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "install/package.h"
#include "install/release/release.h"

// What each package of a complete version installed, so that an update can
// carry a package whose archive did not change instead of downloading it.
namespace velmora {

// Inside a complete version folder: per package its archive's SHA-256 and the
// files and folders it installed.
inline constexpr char kFilesRecord[] = ".files";

struct PackageRecord {
  std::string archive;
  std::string sha256;
  std::vector<InstalledFile> files;
  // As read: the SHA-256 of the package's lines as they were written, which
  // ties the list to the archive verified when it was unpacked; empty in
  // records of launchers before it.
  std::string listSha256 = {};
};

// "package <sha256> <archive> <list sha256>", then "file <sha256> <size>
// <path>" and "folder <path>/" lines for each package. Throws "invalid files
// record: line <n>: <reason>", also for a path that could leave the version folder.
std::vector<PackageRecord> parseFilesRecord(const std::string& text);
std::string formatFilesRecord(const std::vector<PackageRecord>& records);
// Whether the record's lines are those written with it: nothing cut off or changed.
bool intact(const PackageRecord& record);

// Keeps what a cut-off attempt completed: a staging folder whose record lists
// finished packages becomes `resume` (after taking over the packages of an
// older `resume` it lacks), for the next attempt to carry from. A staging
// folder without a record is left for the caller to discard.
void keepCutOffPackages(const std::filesystem::path& staging, const std::filesystem::path& resume);

// Fills a staging folder from a cut-off attempt (`resume`) and from the newest
// complete version where it can, and records what every package installed,
// after each package, so a cut-off attempt keeps what it finished.
//
// A package is carried when its archive there had the hash the release lists,
// its record is intact (a record of a complete version may also be one from
// before such records were tied), and every file is there with its recorded
// size and SHA-256, reached through no link or junction on either side; as
// hard links where the file system allows and copies otherwise.
class PackageReuse : public Carrier {
 public:
  // Nothing is carried without a release to compare archive hashes with.
  PackageReuse(const std::filesystem::path& versions, const std::optional<Release>& release,
               const std::filesystem::path& staging, const std::filesystem::path& resume);

  bool has(const Package& package) override;
  std::vector<std::filesystem::path> place(const Package& package) override;

  // Records what installing `package` wrote; `files` are relative to its folder.
  // A package with a name the record cannot hold is left out, so never carried.
  void installed(const Package& package, const std::vector<InstalledFile>& files);

 private:
  struct Source {
    std::filesystem::path folder;
    std::vector<PackageRecord> records;
  };

  void write() const;

  const std::optional<Release>& release_;
  std::filesystem::path staging_;
  std::vector<Source> sources_;
  // Per archive to carry: its record and the folder it is carried from.
  struct Plan {
    PackageRecord record;
    std::filesystem::path from;
    bool cutOff;
  };
  std::vector<Plan> planned_;
  std::vector<PackageRecord> now_;
};

}  // namespace velmora
