#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "install/package.h"
#include "install/release/file_list.h"
#include "install/release/release.h"
#include "platform/platform.h"

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

// Beside it: per file a version's record lists, the content it was checked to
// hold and what the file system said of it then, so that a file nobody has
// written or replaced since is carried without reading it. Only a hint: a file
// it does not match is read and hashed.
inline constexpr char kIdentitiesRecord[] = ".identities";

struct CheckedFile {
  std::string sha256;
  platform::FileIdentity identity;
};
using CheckedFiles = std::unordered_map<std::string, CheckedFile>;  // per path in the version

// "<sha256> <volume> <id high> <id low> <size> <written> <born> <path>" lines,
// in path order. Throws "invalid identities record: line <n>".
CheckedFiles parseIdentities(const std::string& text);
std::string formatIdentities(const CheckedFiles& files);

// "package <sha256> <archive> <list sha256>", then "file <sha256> <size>
// <path>" and "folder <path>/" lines for each package. Throws "invalid files
// record: line <n>: <reason>", also for a path that could leave the version folder.
std::vector<PackageRecord> parseFilesRecord(const std::string& text);
std::string formatFilesRecord(const std::vector<PackageRecord>& records);
// Whether the record's lines are those written with it: nothing cut off or changed.
bool intact(const PackageRecord& record);

// The records in `folder`; empty when it has none, a damaged one, or one reached
// through a link (it describes some other folder): they vouch for nothing then.
std::vector<PackageRecord> readFilesRecord(const std::filesystem::path& folder);
CheckedFiles readIdentities(const std::filesystem::path& folder);

// Keeps what a cut-off attempt completed: a staging folder whose record lists
// finished packages becomes `resume` (after taking over the packages of an
// older `resume` it lacks), for the next attempt to carry from. With `files`
// (the release has a file list, which vouches for each file by its SHA-256),
// any staging folder is kept, and takes over the files of an older `resume`
// that it lacks. Otherwise a staging folder without a record is left for the
// caller to discard.
void keepCutOffPackages(const std::filesystem::path& staging, const std::filesystem::path& resume,
                        bool files = false);

// Fills a staging folder from a cut-off attempt (`resume`) and from the newest
// complete version where it can, and records what every package installed,
// after each package, so a cut-off attempt keeps what it finished.
//
// A package is carried when its archive there had the hash the release lists,
// its record is intact (a record of a complete version may also be one from
// before such records were tied), and every file is there with its recorded
// size and SHA-256, reached through no link or junction on either side; as
// hard links where the file system allows and copies otherwise.
//
// With the release's file list, a carried package's files must also be the
// list's, and only the package whose entry is left at a path places it. Of a
// package that changed, each file is carried on its own from the same path in
// `resume` or the newest complete version, or from a path there that the
// version's record gives the same SHA-256, once its size and SHA-256 are the
// list's.
class InstalledVersions;

class PackageReuse : public Carrier {
 public:
  // Nothing is carried without a release to compare archive hashes with.
  PackageReuse(const InstalledVersions& installed, const std::optional<Release>& release,
               const std::filesystem::path& staging, const std::filesystem::path& resume,
               const FileList* list = nullptr);

  bool has(const Package& package) override;
  std::vector<std::filesystem::path> place(const Package& package) override;
  std::vector<const ListedFile*> lacks(const Package& package,
                                       const ListedPackage& listed) override;
  std::vector<std::filesystem::path> placeHeld(const Package& package) override;

  // Records what installing `package` wrote; `files` are relative to its folder.
  // A package with a name the record cannot hold is left out, so never carried.
  void installed(const Package& package, const std::vector<InstalledFile>& files);
  // Once every package is in place: each file recorded is still the one
  // checked (or hashes as it should), else it throws; then their identities
  // are written.
  void confirm();

 private:
  struct Source {
    std::filesystem::path folder;
    std::vector<PackageRecord> records;
    const CheckedFiles* checked = nullptr;  // of a complete version only
  };
  using Identity = std::optional<platform::FileIdentity>;

  void write() const;

  // Where a file with this content is found, or nothing.
  struct Held {
    std::string path;  // below the version folder
    std::filesystem::path source;
    bool cutOff;
    const ListedFile* listed;
    Identity identity = {};  // as checked
  };
  // `clean` keeps the folders of each source found to lead through no link.
  std::optional<Held> find(const std::string& path, const ListedFile& file,
                           std::map<std::filesystem::path, std::set<std::string>>& clean) const;
  bool owned(const Package& package, const std::string& path) const;

  const std::optional<Release>& release_;
  std::filesystem::path staging_;
  std::vector<Source> sources_;
  std::optional<PathOwners> owners_;
  const FileList* list_;
  // Per SHA-256, a path of the newest complete version whose record gives it.
  std::unordered_map<std::string, std::string> previousBySha_;
  std::vector<std::pair<std::string, std::vector<Held>>> held_;  // per archive
  bool resumeFound_ = false;
  // Guards planned_ and held_: packages are weighed side by side.
  std::mutex plans_;
  // Per archive to carry: its record and the folder it is carried from.
  struct Plan {
    PackageRecord record;
    std::filesystem::path from;
    bool cutOff;
    std::vector<Identity> checked;  // per file of the record, as checked
  };
  std::vector<Plan> planned_;
  std::vector<PackageRecord> now_;
  CheckedFiles checked_;  // of the files placed or written so far
  // Per path, the identity of a held file as placed, for installed() to trust.
  std::unordered_map<std::string, Identity> placedHeld_;
};

}  // namespace velmora
