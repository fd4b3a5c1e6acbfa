#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

struct Package {
  const char* archive;      // name on the setup host, after "<version>-"
  const char* destination;  // folder below the version folder, '/'-separated
};

// The player's packages, installed in this order; later rows overwrite.
extern const std::array<Package, 10> kPackages;

// Downloads kSetupBaseUrl + version + "-" + archive for each package, several
// at once, into its destination below `root`, and unpacks each there as soon
// as it has arrived and so have the earlier packages whose destinations hold
// or lie in its own; deletes the archives. The result is that of installing
// them one after another. The first failure stops the rest and is thrown;
// what was written so far stays for the caller's staging folder to discard.
void install(const std::string& version, const std::vector<Package>& packages,
             const std::filesystem::path& root);
// One package into `destination`.
void install(const std::string& version, const std::string& archive,
             const std::filesystem::path& destination);

// Unpacks the ZIP file `archive` into `destination`. Only regular files and
// folders are written, and only inside `destination`. Throws
// "extracting <archive> failed: <reason>", also soon after `stop` is set.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace velmora
