#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

struct Package {
  const char* archive;      // name on the setup host, after "<version>-"
  const char* destination;  // folder below the version folder, '/'-separated
};

}  // namespace velmora

// kPackages, the player's packages in install order (later rows overwrite),
// and kStudioPackage: made at build time from install/packages.txt.
#include "package_table.h"

namespace velmora {

struct Release;
struct FileList;
struct ListedPackage;
struct ListedFile;

// One entry an archive installed.
struct InstalledFile {
  std::string path;  // '/'-separated; a folder's ends in '/'
  std::uint64_t size = 0;
  std::string sha256;  // of a file, as 64 lower-case hex digits
};

using Unpacked = std::function<void(const Package&, const std::vector<InstalledFile>&)>;

// What an update has on disk already. Asked about every package before any
// download starts, about several at once from different threads; a package it
// has is placed, instead of unpacked, at its turn in the table order.
class Carrier {
 public:
  virtual ~Carrier() = default;
  virtual bool has(const Package& package) = 0;
  // Returns the files it put in place whose content may not be on disk yet;
  // throws when they cannot be put in place.
  virtual std::vector<std::filesystem::path> place(const Package& package) = 0;

  // With a file list, for a package it does not have whole: the package's
  // files (those its entry is left at) that it does not hold with their listed
  // size and SHA-256, for the caller to fetch.
  virtual std::vector<const ListedFile*> lacks(const Package& package,
                                               const ListedPackage& listed) = 0;
  // Puts the files it holds of `package` in place, like place().
  virtual std::vector<std::filesystem::path> placeHeld(const Package& package) = 0;
};

// Downloads kSetupBaseUrl + version + "-" + archive for each package that
// `carrier` does not have, several at once, into its destination below `root`,
// and unpacks each there as soon as it has arrived and so have the earlier
// packages whose destinations hold or lie in its own; deletes the archives.
// Packages whose destinations do not nest unpack side by side. The result is
// that of installing them one after another, on disk (flushed) when this
// returns. With `release`, each archive must be listed and arrive with exactly
// its listed size and SHA-256 (ReleaseRefused otherwise, before it is
// unpacked). `unpacked`, if given, hears of each package unpacked with what it
// wrote, and `carrier` of each to place, on an unpacking thread, one package
// at a time. The first failure stops the rest and is thrown; what was written
// so far stays for the caller's staging folder to discard.
//
// With `list` (the release's file list), every file written must be the
// list's (ReleaseRefused otherwise), each path is written only by the package
// whose entry is left there, and a package the carrier holds most of has only
// the files it lacks fetched, each with a range request into its archive;
// where the host does not answer ranges or an entry differs from the list,
// that package is downloaded whole after the others, once.
//
// With `inPieces`, a package that holds a large share of the bytes comes as
// several ranges side by side.
//
// Before anything is downloaded, the volume of `root` must have room for what
// will be downloaded and written, with a margin (NotEnoughSpace otherwise).
void install(const std::string& version, const std::vector<Package>& packages,
             const std::filesystem::path& root, const Release* release = nullptr,
             const Unpacked& unpacked = {}, Carrier* carrier = nullptr,
             const FileList* list = nullptr, bool inPieces = true);
// Throws NotEnoughSpace "not enough disk space for <version>: <n> MB needed,
// <m> MB free on <volume>" unless the volume of `root` has room for `bytes`
// and a margin.
void requireSpace(const std::string& version, const std::filesystem::path& root,
                  std::uint64_t bytes);

// One package into `destination`, checked against `release` if given.
void install(const std::string& version, const std::string& archive,
             const std::filesystem::path& destination, const Release* release = nullptr);

// Why an archive entry named `name` ('/'-separated) must not be written, or
// nothing: absolute names, device names, ':' and components that Windows would
// change. ".." is left to the caller, which resolves it against the destination.
std::optional<std::string> entryNameRefusal(const std::string& name);

// Unpacks the ZIP file `archive` into `destination`. Only regular files and
// folders are written, and only inside `destination`, and no file entry for
// which `skip` (given the entry's name relative to `destination`) is true;
// `written`, if given, receives each with its size and SHA-256, relative to
// `destination`. Throws "extracting <archive> failed: <reason>", also soon
// after `stop` is set.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                    std::vector<InstalledFile>* written = nullptr,
                    const std::atomic<bool>* stop = nullptr,
                    const std::function<bool(const std::string&)>& skip = {});

}  // namespace velmora
