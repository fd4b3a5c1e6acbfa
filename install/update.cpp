#include "install/update.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "build_config.h"
#include "install/install_lock.h"
#include "install/installed.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release/file_list.h"
#include "install/release/release.h"
#include "install/repair.h"
#include "install/reuse.h"
#include "install/transfer/download.h"
#include "install/transfer/progress.h"
#include "platform/log.h"
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

void writeCompleteMarker(const fs::path& folder, std::vector<fs::path> written) {
  // After a power cut the final name must never hold a marker with files that
  // never reached the disk.
  const fs::path marker = folder / kCompleteMarker;
  std::ofstream file(marker, std::ios::binary);
  file.close();
  if (!file) throw std::runtime_error("cannot create " + utf8(marker));
  written.push_back(marker);
  platform::flushToDisk(written);
}

namespace {

void warnStartingInstalled(const std::string& reason, const fs::path& installed) {
  std::cerr << "warning: " << reason << "; starting the installed " << utf8(installed.filename())
            << std::endl;
}

std::string learnVersion() {
  // A name of at most 64 bytes, with some room for quotes and white space.
  constexpr std::size_t kMaxDocument = 256;
  TextSink document(kMaxDocument);
  try {
    // A join must not wait long for a host out of reach: it has a version to fall back to.
    download(std::string(kSetupBaseUrl) + "version", "version", document, {},
             std::chrono::seconds(kVersionSeconds));
  } catch (const std::runtime_error&) {
    if (!document.overflowed()) throw;
    throw std::runtime_error("setup host returned an invalid version: more than " +
                             std::to_string(kMaxDocument) + " bytes");
  }
  return cleanVersion(document.text());
}

// With a release key built in, a version on disk that is older than the newest
// one is announced either by a replayed old document or by a rollback the
// service published again; only its release file can tell.
bool replayed(const InstalledVersions& installed, const fs::path& folder) {
  const InstalledVersion* newest = installed.newest();
  return kReleasePublicKey[0] != '\0' && newest && installed.newer(newest->folder, folder);
}

// The rolled-back-to version records the release that published it again, so it stays newest.
void replaceRecord(const fs::path& folder, const Release& release) {
  const fs::path record = folder / kReleaseRecord, fresh = folder / ".release.new";
  writeWholeFile(fresh, release.text);
  platform::flushToDisk({fresh});
  platform::replaceFile(platform::fileSystem(), fresh, record);
  platform::flushToDisk({record});
}

bool sameArchives(const Release& a, const Release& b) {
  if (a.archives.size() != b.archives.size()) return false;
  for (const ReleaseArchive& archive : a.archives) {
    const ReleaseArchive* other = b.find(archive.name);
    if (!other || other->size != archive.size || other->sha256 != archive.sha256) return false;
  }
  return true;
}

// Windows names "V2" and "v2" one folder: the announced name need not be the one on disk.
bool sameFolder(const fs::path& entry, const fs::path& keep) {
  std::error_code ec;
  return entry == keep || fs::equivalent(entry, keep, ec);
}

// Everything in `versions` but `keep`, unless another start is installing
// (its staging folder is not ours to take). A version in use stays whole; what
// a program still holds of one set aside goes with a later start.
void pruneVersions(const InstalledVersions& installed, const fs::path& keep) {
  const fs::path& versions = installed.folder();
  // Before their tombstones go: they hold the new copies.
  finishRepairs(versions);
  std::vector<fs::path> old;
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    if (!sameFolder(it->path(), keep) && !heldByRepair(it->path())) old.push_back(it->path());
  }
  const bool keyed = kReleasePublicKey[0] != '\0';
  for (const fs::path& path : old) {
    // Never one newer than the version started, whatever the host announced.
    if (keyed && !isStagingName(utf8(path.filename())) && fs::exists(path / kCompleteMarker) &&
        installed.newer(path, keep))
      continue;
    // A game waiting on the start must not wait for a program to let go.
    const VersionRemoval removal = removeVersion(path, std::chrono::milliseconds(0));
    if (removal == VersionRemoval::inUse) {
      std::cerr << "warning: old version " << utf8(path.filename())
                << " is in use; a later start will remove it" << std::endl;
    } else {
      platform::logLine("prune: " + utf8(path.filename()) +
                        (removal == VersionRemoval::removed
                             ? " removed"
                             : " set aside; what a program still holds stays for a later start"));
    }
  }
}

void installVersion(InstalledVersions& installed, const std::string& version,
                    const fs::path& folder, const std::optional<Release>& release,
                    std::optional<std::string> fetchedList = std::nullopt) {
  // Before anything is written: it decides what the install downloads, and how much room it needs.
  const std::optional<FileList> list =
      release ? fetchFileList(*release, fetchedList ? &*fetchedList : nullptr) : std::nullopt;
  fetchedList.reset();
  const fs::path& versions = installed.folder();
  std::cout << "Installing Velmora " << version << std::endl;
  const fs::path staging = versions / pathFromUtf8(version + kStagingSuffix);
  const fs::path resume = versions / pathFromUtf8(version + kResumeSuffix);
  keepCutOffPackages(staging, resume, list.has_value());
  platform::removeTree(staging, versions);
  fs::create_directories(staging);
  PackageReuse reuse(installed, release, staging, resume, list ? &*list : nullptr);
  install(
      version, std::vector<Package>(kPackages.begin(), kPackages.end()), staging,
      release ? &*release : nullptr,
      [&](const Package& package, const std::vector<InstalledFile>& files) {
        reuse.installed(package, files);
      },
      &reuse, list ? &*list : nullptr);
  // A carried file shares its content with the old version's name until the marker is in.
  reuse.confirm();
  // After the packages, so none of them can replace it; its `published` guards later updates.
  if (release) writeWholeFile(staging / kReleaseRecord, release->text);
  // The marker goes in before the move, so nothing under the final name is ever partial.
  // install() has flushed the packages' files.
  writeCompleteMarker(
      staging, release ? std::vector<fs::path>{staging / kReleaseRecord, staging / kFilesRecord,
                                               staging / kIdentitiesRecord}
                       : std::vector<fs::path>{});
  Progress waiting("Waiting for another program to let go of the new version");
  platform::moveFolder(platform::fileSystem(), staging, folder, versions, platform::kScannerBound,
                       [&](std::chrono::milliseconds waited) {
                         waiting.show(std::to_string(waited.count() / 1000) +
                                      " s (a virus "
                                      "scanner may be checking it)");
                       });
  // And the move before the prune's removals (which Windows logs in order anyway).
  platform::flushToDisk({folder / kCompleteMarker});
  installed.record(folder, release);
}

// A complete version whose program a scanner took away gets its missing files
// alone, where its release has a file list; otherwise it is installed again.
bool repaired(const fs::path& folder) {
  if (!fs::exists(folder / kCompleteMarker)) return false;
  try {
    const std::size_t count = repairVersion(folder);
    std::cout << "Repaired " << count << " files of Velmora " << utf8(folder.filename())
              << std::endl;
  } catch (const std::exception&) {
    return false;
  }
  return usableInstall(folder, kPlayerExecutable);
}

}  // namespace

fs::path ensureCurrentVersion(const fs::path& root) {
  const fs::path versions = root / "Versions";
  std::string version;
  try {
    version = learnVersion();
    platform::logLine("version: the setup host announces " + version);
  } catch (const std::exception& e) {
    // Looked at once the host has failed: another start may have installed meanwhile.
    const InstalledVersions installed(versions);
    const InstalledVersion* newest = installed.newest();
    platform::logLine("version: none from the setup host; newest installed: " +
                      (newest ? utf8(newest->folder.filename()) : std::string("none")));
    if (!newest) throw;
    warnStartingInstalled(e.what(), newest->folder);
    return newest->folder;
  }

  InstalledVersions installed(versions);
  const fs::path folder = versions / pathFromUtf8(version);
  if (usableInstall(folder, kPlayerExecutable) && !replayed(installed, folder)) {
    platform::logLine("release: " + version + " is installed and complete");
    // Leftovers of earlier starts (a version that was in use, a killed install)
    // go once nobody is installing; an up-to-date start otherwise writes nothing.
    if (installed.hasOthers(folder)) {
      if (const auto lock = InstallLock::tryTake(root)) pruneVersions(installed, folder);
    }
    return folder;
  }
  // Another start may be installing this very version; wait for it, then look again.
  InstallLock lock(root);
  installed = InstalledVersions(versions);
  const bool usable = usableInstall(folder, kPlayerExecutable);
  const bool replay = replayed(installed, folder);
  platform::logLine("release: " + version +
                    (replay   ? " is older than an installed release; checking it"
                     : usable ? " is installed and complete"
                     : fs::exists(folder / kCompleteMarker)
                         ? " is installed without its player; repairing it"
                         : " is not installed"));
  if (!usable && !replay && repaired(folder)) {
    pruneVersions(installed, folder);
    return folder;
  }
  if (!usable || replay) {
    try {
      std::optional<std::string> list;
      // A version published again needs no list unless its archives changed.
      const std::optional<Release> release =
          fetchRelease(version, &installed, usable ? nullptr : &list);
      const InstalledVersion* recorded = usable && release ? installed.find(folder) : nullptr;
      // What is on disk is what the release published again lists, or it is installed anew.
      if (recorded && recorded->release && sameArchives(*recorded->release, *release)) {
        platform::logLine("release: " + version + " lists the archives installed; keeping them");
        replaceRecord(folder, *release);
        installed.record(folder, release);
      } else {
        platform::logLine("release: installing " + version +
                          (release ? "" : " (the host has no release file for it)"));
        installVersion(installed, version, folder, release, std::move(list));
      }
    } catch (const ReleaseRefused& e) {
      const InstalledVersion* newest = installed.newest();
      platform::logLine("release: " + version + " refused");
      if (!newest) throw;
      warnStartingInstalled(e.what(), newest->folder);
      return newest->folder;
    }
  }
  pruneVersions(installed, folder);
  return folder;
}

}  // namespace velmora
