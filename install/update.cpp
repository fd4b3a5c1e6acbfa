#include "install/update.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "build_config.h"
#include "install/download.h"
#include "install/install_lock.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release.h"
#include "install/reuse.h"
#include "launcher/text.h"

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

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  file.close();
  if (!file) throw std::runtime_error("cannot write " + utf8(path));
}

std::string learnVersion() {
  std::ostringstream document;
  download(std::string(kSetupBaseUrl) + "version", document);
  return cleanVersion(document.str());
}

void installVersion(const fs::path& versions, const std::string& version, const fs::path& folder,
                    const std::optional<Release>& release) {
  std::cout << "Installing Velmora " << version << std::endl;
  const fs::path staging = versions / pathFromUtf8(version + ".partial");
  const fs::path resume = versions / pathFromUtf8(version + ".resume");
  keepCutOffPackages(staging, resume);
  fs::remove_all(staging);
  fs::create_directories(staging);
  PackageReuse reuse(versions, release, staging, resume);
  for (const Package& package : kPackages) {
    if (reuse.carry(package)) continue;
    std::vector<InstalledFile> files;
    install(version, package.archive, staging / pathFromUtf8(package.destination),
            release ? release->find(package.archive) : nullptr, &files);
    reuse.installed(package, files);
  }
  // After the packages, so none of them can replace it; its `published` guards later updates.
  if (release) writeFile(staging / kReleaseRecord, release->text);
  // The marker goes in before the move, so nothing under the final name is ever partial.
  writeCompleteMarker(staging);
  fs::remove_all(folder);
  fs::rename(staging, folder);
  for (const auto& entry : fs::directory_iterator(versions)) {
    if (entry.path() == folder) continue;
    // Marker first: a prune cut off half way must not leave a folder that still
    // claims to be complete.
    if (fs::is_directory(entry.symlink_status())) fs::remove_all(entry.path() / kCompleteMarker);
    fs::remove_all(entry.path());
  }
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
  if (fs::exists(folder / kCompleteMarker)) return folder;
  // Another start may be installing this very version; wait for it, then look again.
  InstallLock lock(root);
  if (fs::exists(folder / kCompleteMarker)) return folder;
  try {
    installVersion(versions, version, folder, fetchRelease(version, versions));
  } catch (const ReleaseRefused& e) {
    const fs::path installed = newestInstalled(versions);
    if (installed.empty()) throw;
    warnStartingInstalled(e.what(), installed);
    return installed;
  }
  return folder;
}

}  // namespace velmora
