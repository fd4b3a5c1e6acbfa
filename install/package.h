#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
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

struct ReleaseArchive;

// One entry an archive installed.
struct InstalledFile {
  std::string path;  // '/'-separated; a folder's ends in '/'
  std::uint64_t size = 0;
  std::string sha256;  // of a file, as 64 lower-case hex digits
};

// Downloads kSetupBaseUrl + version + "-" + archive into `destination`,
// unpacks it there and deletes the archive. With `expected`, the bytes must be
// exactly its size and SHA-256 (ReleaseRefused otherwise, before anything is
// unpacked). `written`, if given, receives what was unpacked. Throws on any
// failure; what was written so far stays for the caller's staging folder to discard.
void install(const std::string& version, const std::string& archive,
             const std::filesystem::path& destination, const ReleaseArchive* expected = nullptr,
             std::vector<InstalledFile>* written = nullptr);

// Unpacks the ZIP file `archive` into `destination`. Only regular files and
// folders are written, and only inside `destination`; `written`, if given,
// receives each with its size and SHA-256, relative to `destination`. Throws
// "extracting <archive> failed: <reason>".
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                    std::vector<InstalledFile>* written = nullptr);

}  // namespace velmora
