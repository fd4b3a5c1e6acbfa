#pragma once

#include <array>
#include <filesystem>
#include <string>

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

// Downloads kSetupBaseUrl + version + "-" + archive into `destination`,
// unpacks it there and deletes the archive. With `expected`, the bytes must be
// exactly its size and SHA-256 (ReleaseRefused otherwise, before anything is
// unpacked). Throws on any failure; what was written so far stays for the
// caller's staging folder to discard.
void install(const std::string& version, const std::string& archive,
             const std::filesystem::path& destination, const ReleaseArchive* expected = nullptr);

// Unpacks the ZIP file `archive` into `destination`. Only regular files and
// folders are written, and only inside `destination`. Throws
// "extracting <archive> failed: <reason>".
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);

}  // namespace velmora
