#include "install/update.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "build_config.h"
#include "install/download.h"
#include "install/install_lock.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/progress.h"
#include "install/release.h"
#include "install/reuse.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/retry.h"

namespace velmora {

namespace fs = std::filesystem;

std::string cleanVersion(const std::string& document) {
  std::string version;
  for (unsigned char c : document) {
    if (!isAsciiSpace(c) && c != '"') version += static_cast<char>(c);
  }
  bool valid = !version.empty() && version.size() <= 64 && version.find("..") == std::string::npos;
  for (unsigned char c : version)
    valid = valid && (isAsciiAlnum(c) || c == '-' || c == '.' || c == '_');
  // "." would name the versions folder itself; a trailing dot or a device name
  // cannot name a Windows folder unchanged.
  valid = valid && version.back() != '.' && !isReservedDeviceName(version);
  // A version under a staging name would never be found again offline.
  valid = valid && !isStagingName(version);
  if (!valid) throw std::runtime_error("setup host returned an invalid version: '" + version + "'");
  return version;
}

void writeCompleteMarker(const fs::path& folder) {
  const fs::path marker = folder / kCompleteMarker;
  std::ofstream file(marker, std::ios::binary);
  file.close();
  if (!file) throw std::runtime_error("cannot create " + utf8(marker));
}

namespace {

void warnStartingInstalled(const std::string& reason, const fs::path& installed) {
  std::cerr << "warning: " << reason << "; starting the installed " << utf8(installed.filename())
            << std::endl;
}

std::string learnVersion() {
  TextSink document;
  // A join must not wait long for a host out of reach: it has a version to fall back to.
  download(std::string(kSetupBaseUrl) + "version", "version", document, {},
           std::chrono::seconds(kVersionSeconds));
  return cleanVersion(document.text());
}

// Everything in `versions` but `keep`, unless another start is installing
// (its staging folder is not ours to take). A version in use stays whole; what
// a program still holds of one set aside goes with a later start.
void pruneVersions(const fs::path& versions, const fs::path& keep) {
  std::vector<fs::path> old;
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path() != keep) old.push_back(it->path());
  }
  for (const fs::path& path : old) {
    // A game waiting on the start must not wait for a program to let go.
    if (removeVersion(path, std::chrono::milliseconds(0)) == VersionRemoval::inUse) {
      std::cerr << "warning: old version " << utf8(path.filename())
                << " is in use; a later start will remove it" << std::endl;
    }
  }
}

void installVersion(const fs::path& versions, const std::string& version, const fs::path& folder,
                    const std::optional<Release>& release) {
  std::cout << "Installing Velmora " << version << std::endl;
  const fs::path staging = versions / pathFromUtf8(version + kStagingSuffix);
  const fs::path resume = versions / pathFromUtf8(version + kResumeSuffix);
  keepCutOffPackages(staging, resume);
  platform::removeTree(staging, versions);
  fs::create_directories(staging);
  PackageReuse reuse(versions, release, staging, resume);
  std::vector<Package> missing;
  for (const Package& package : kPackages) {
    if (!reuse.carry(package)) missing.push_back(package);
  }
  install(version, missing, staging, release ? &*release : nullptr,
          [&](const Package& package, const std::vector<InstalledFile>& files) {
            reuse.installed(package, files);
          });
  // After the packages, so none of them can replace it; its `published` guards later updates.
  if (release) writeWholeFile(staging / kReleaseRecord, release->text);
  // The marker goes in before the move, so nothing under the final name is ever partial.
  writeCompleteMarker(staging);
  Progress waiting("Waiting for another program to let go of the new version");
  platform::moveFolder(platform::fileSystem(), staging, folder, versions, platform::kScannerBound,
                       [&](std::chrono::milliseconds waited) {
                         waiting.show(std::to_string(waited.count() / 1000) +
                                      " s (a virus "
                                      "scanner may be checking it)");
                       });
}

bool hasOthers(const fs::path& versions, const fs::path& keep) {
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path() != keep) return true;
  }
  return false;
}

}  // namespace

fs::path ensureCurrentVersion(const fs::path& root) {
  const fs::path versions = root / "Versions";
  std::string version;
  try {
    version = learnVersion();
  } catch (const std::exception& e) {
    const fs::path installed = newestInstalled(versions);
    if (installed.empty()) throw;
    warnStartingInstalled(e.what(), installed);
    return installed;
  }

  const fs::path folder = versions / pathFromUtf8(version);
  if (usableInstall(folder, kPlayerExecutable)) {
    // Leftovers of earlier starts (a version that was in use, a killed install)
    // go once nobody is installing; an up-to-date start otherwise writes nothing.
    if (hasOthers(versions, folder)) {
      if (const auto lock = InstallLock::tryTake(root)) pruneVersions(versions, folder);
    }
    return folder;
  }
  // Another start may be installing this very version; wait for it, then look again.
  InstallLock lock(root);
  if (!usableInstall(folder, kPlayerExecutable)) {
    try {
      installVersion(versions, version, folder, fetchRelease(version, versions));
    } catch (const ReleaseRefused& e) {
      const fs::path installed = newestInstalled(versions);
      if (installed.empty()) throw;
      warnStartingInstalled(e.what(), installed);
      return installed;
    }
  }
  pruneVersions(versions, folder);
  return folder;
}

}  // namespace velmora
