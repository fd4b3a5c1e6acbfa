#include "install/installed.h"

#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/text.h"
#include "build_config.h"
#include "install/layout.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

bool sameFolder(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return a == b || fs::equivalent(a, b, ec);
}

std::optional<Release> readRelease(const fs::path& folder) {
  try {
    return recordedRelease(folder);
  } catch (const std::runtime_error&) {
    // a record we cannot read vouches for nothing
  }
  return std::nullopt;
}

}  // namespace

InstalledVersions::InstalledVersions(fs::path versions) : versions_(std::move(versions)) {
  std::error_code ec;
  fs::directory_iterator it(versions_, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) throw fs::filesystem_error("cannot list installed versions", versions_, ec);
    const fs::path& candidate = it->path();
    entries_.push_back(candidate);
    // A start cut off between the marker and the move leaves a staging folder
    // that looks complete.
    if (!isStagingName(utf8(candidate.filename())) && fs::exists(candidate / kCompleteMarker))
      complete_.push_back({candidate, std::nullopt});
  }
  if (ec) throw fs::filesystem_error("cannot list installed versions", versions_, ec);
  for (InstalledVersion& version : complete_) version.release = readRelease(version.folder);
}

const InstalledVersion* InstalledVersions::newest() const {
  const InstalledVersion* newest = nullptr;
  for (const InstalledVersion& candidate : complete_) {
    if (!newest || newer(candidate.folder, newest->folder) ||
        (!newer(newest->folder, candidate.folder) &&
         candidate.folder.filename().compare(newest->folder.filename()) > 0))
      newest = &candidate;
  }
  return newest;
}

const InstalledVersion* InstalledVersions::find(const fs::path& folder) const {
  for (const InstalledVersion& version : complete_) {
    if (version.folder == folder) return &version;
  }
  for (const InstalledVersion& version : complete_) {
    if (sameFolder(version.folder, folder)) return &version;
  }
  return nullptr;
}

bool InstalledVersions::hasOthers(const fs::path& keep) const {
  for (const fs::path& entry : entries_) {
    if (!sameFolder(entry, keep)) return true;
  }
  return false;
}

std::optional<std::int64_t> InstalledVersions::published(const fs::path& folder) const {
  const InstalledVersion* version = find(folder);
  const std::optional<Release> read = version ? std::nullopt : readRelease(folder);
  const std::optional<Release>& release = version ? version->release : read;
  if (!release) return std::nullopt;
  return release->published;
}

bool InstalledVersions::newer(const fs::path& a, const fs::path& b) const {
  if (kReleasePublicKey[0] != '\0') {
    const auto publishedA = published(a), publishedB = published(b);
    if (publishedA || publishedB) return publishedA && (!publishedB || *publishedA > *publishedB);
  }
  return a.filename().compare(b.filename()) > 0;
}

void InstalledVersions::record(const fs::path& folder, const std::optional<Release>& release) {
  carriedRead_ = false;
  for (InstalledVersion& version : complete_) {
    if (sameFolder(version.folder, folder)) {
      version.release = release;
      return;
    }
  }
  complete_.push_back({folder, release});
  entries_.push_back(folder);
}

void InstalledVersions::readCarried() const {
  if (carriedRead_) return;
  carriedRead_ = true;
  if (const InstalledVersion* version = newest()) {
    newestFiles_ = readFilesRecord(version->folder);
    newestIdentities_ = readIdentities(version->folder);
  }
}

const std::vector<PackageRecord>& InstalledVersions::newestFiles() const {
  readCarried();
  return newestFiles_;
}

const CheckedFiles& InstalledVersions::newestIdentities() const {
  readCarried();
  return newestIdentities_;
}

fs::path newestInstalled(const fs::path& versions) {
  const InstalledVersions house(versions);
  const InstalledVersion* newest = house.newest();
  return newest ? newest->folder : fs::path();
}

}  // namespace velmora
