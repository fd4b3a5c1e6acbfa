#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The file list a release may carry: every file of every package with its
// size, SHA-256 and mode, and where its entry lies in the package's archive, so
// that one file can be fetched with a range request and checked on its own.
// It is listed in the release file like an archive, so the signature covers it.
namespace velmora {

struct Release;
struct Package;

// Its name in the release file; the host serves it as "<version>-files.txt".
inline constexpr char kFileListName[] = "files.txt";
// Read before anything vouches for it: a release whose row lists a larger one is refused.
inline constexpr std::uint64_t kMaxFileListBytes = 16u << 20;

enum class Compression { stored = 0, deflated = 8 };

struct ListedFile {
  std::string name;  // relative to the package's folder, '/'-separated, as in the archive
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  bool executable = false;
  Compression method = Compression::stored;
  std::uint64_t offset = 0;  // of the entry's local header in the archive
  std::uint64_t length = 0;  // from there to the end of its data
  std::uint64_t compressedSize = 0;
};

struct ListedPackage {
  std::string archive;
  std::vector<std::string> folders;  // each ending in '/'
  std::vector<ListedFile> files;
};

struct FileList {
  std::string version;
  std::vector<ListedPackage> packages;

  // The package for `archive`, or nullptr.
  const ListedPackage* find(const std::string& archive) const;
};

// "files 1 <version>", then per package "package <archive>" followed by its
// "folder <name>/" and "file <sha256> <size> <644|755> <0|8> <offset> <length>
// <compressed size> <name>" lines. Names are checked as archive entries are
// (nothing absolute, no "..", nothing Windows would read otherwise), once per
// package ignoring case, and each entry must fit its local header and data.
// Throws "invalid file list: line <n>: <reason>".
FileList parseFileList(const std::string& text);

// Throws "invalid file list: <reason>" unless `list` names `release`'s version,
// lists exactly the packages of kPackages and kStudioPackage, and every entry
// lies inside its archive's listed size without overlapping another.
void checkFileList(const FileList& list, const Release& release);

// The list `release` names, fetched from the setup host, checked against its
// row of the release file (size and SHA-256) and against the release; nullopt
// when the release names none. Throws ReleaseRefused for a list that does not
// match, is invalid or is larger than kMaxFileListBytes, and the download
// error when it cannot be fetched. `fetched`, if given, is its body as
// fetched already, checked the same way.
std::optional<FileList> fetchFileList(const Release& release, const std::string* fetched = nullptr);

// The name every Windows path comparison uses: letters of any script in one case (caseFolded).
std::string foldedName(const std::string& name);

// Which package's entry a version holds at each path: the last in table order
// that lists the path, as installing the packages one after another leaves it.
// With a list, every path has exactly this one writer, so packages may be put
// in place in any order.
class PathOwners {
 public:
  PathOwners(const FileList& list, const std::vector<Package>& packages);
  // Whether `archive`'s entry at `path` (below the version folder) is the one left there.
  bool owns(const std::string& archive, const std::string& path) const;

 private:
  std::unordered_map<std::string, std::string> owner_;  // folded path -> archive
};

}  // namespace velmora
