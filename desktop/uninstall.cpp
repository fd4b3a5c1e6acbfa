#include "desktop/uninstall.h"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/text.h"
#include "desktop/register.h"
#include "desktop/scheme.h"
#include "install/install_lock.h"
#include "install/layout.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/retry.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

// Long enough for a process that is only returning from main.
constexpr std::chrono::seconds kExitBound{30};

bool present(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool samePlace(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return a.lexically_normal() == b.lexically_normal() || fs::equivalent(a, b, ec);
}

// The real path; one that cannot be told is no ground to remove anything on.
fs::path resolved(const fs::path& path) {
  try {
    return platform::realPath(path);
  } catch (const fs::filesystem_error& e) {
    throw std::runtime_error("cannot tell where " + utf8(path) + " really is (" +
                             e.code().message() + "); nothing was removed");
  }
}

// A folder directly in `parent`, not a link or junction to one elsewhere.
bool realFolderIn(const fs::path& path, const fs::path& parent) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return false;
  return fs::equivalent(resolved(path).parent_path(), parent, ec);
}

std::vector<fs::path> children(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    found.push_back(it->path());
  if (ec && ec != std::errc::no_such_file_or_directory) {
    throw std::runtime_error("cannot read the folder " + utf8(folder) + " (" + ec.message() +
                             "); nothing more was removed");
  }
  return found;
}

void removeShortcuts() {
  const auto folder = platform::programsFolder();
  if (!folder) return;
  for (const char* name : kShortcutNames)
    platform::removeFile(*folder / pathFromUtf8(std::string(name) + platform::kShortcutExtension));
}

// Another install's registration is not ours to take.
void removeScheme(const fs::path& root) {
  const auto command = platform::registryString(kSchemeCommandKey, nullptr);
  const auto program = command ? commandProgram(*command) : std::nullopt;
  if (program && samePlace(program->parent_path(), root / "Launcher"))
    platform::deleteRegistryKey(kSchemeKey);
}

void removeAppsEntry(const fs::path& root) {
  const std::u16string location = u"InstallLocation";
  const auto installed = platform::registryString(kAppsEntryKey, &location);
  if (installed && samePlace(*installed, root)) platform::deleteRegistryKey(kAppsEntryKey);
}

// A version in use is left whole; what stays of one set aside is reported as
// the versions folder, where it now is.
void removeVersions(const fs::path& versions, std::vector<fs::path>& left) {
  bool whole = true, setAsideLeft = false;
  for (const fs::path& version : children(versions)) {
    const VersionRemoval removal = removeVersion(version, platform::kBusyBound);
    if (removal == VersionRemoval::inUse) left.push_back(version);
    whole = whole && removal == VersionRemoval::removed;
    setAsideLeft = setAsideLeft || removal == VersionRemoval::later;
  }
  if (setAsideLeft ||
      (whole && !platform::deleteTree(platform::fileSystem(), versions, platform::kBusyBound)))
    left.push_back(versions);
}

// Everything in the root but the lock and the running program's own file;
// returns what stays.
std::vector<fs::path> removeFiles(const fs::path& root, const fs::path& own) {
  // Both may refuse, so before anything goes.
  resolved(root);
  const bool realVersions = realFolderIn(root / "Versions", root);
  platform::FileSystem& files = platform::fileSystem();
  std::vector<fs::path> left;
  for (const fs::path& path : children(root)) {
    const fs::path name = path.filename();
    if (name == "Versions" && realVersions)
      removeVersions(path, left);
    else if (name != "Launcher" && name != "install.lock" &&
             !platform::deleteTree(files, path, platform::kBusyBound))
      left.push_back(path);
  }
  // The launcher copies go once nothing else stays: the entry runs one of them.
  if (!left.empty()) return left;
  for (const fs::path& path : children(root / "Launcher")) {
    std::error_code ec;
    if (!fs::equivalent(path, own, ec) &&
        !platform::deleteTree(files, path, platform::kBusyBound)) {
      left.push_back(root / "Launcher");
      break;
    }
  }
  return left;
}

}  // namespace

std::vector<fs::path> uninstall(const fs::path& root) {
  // Not a folder this process would hold open while removing it.
  platform::leaveWorkingFolder();
  const bool installed = present(root);
  const fs::path launcherFolder = root / "Launcher";
  if (installed && !present(root / "Versions") && !present(launcherFolder))
    throw std::runtime_error(utf8(root) + " is not a Velmora install; nothing was removed");
  // Never while a start installs into it.
  std::unique_ptr<InstallLock> lock;
  if (installed) lock = std::make_unique<InstallLock>(root);
  const fs::path own = platform::ownExecutablePath();
  const std::vector<fs::path> left = installed ? removeFiles(root, own) : std::vector<fs::path>();
  removeShortcuts();
  removeScheme(root);
  // Until the files are gone, the entry and the copy it runs stay, so the
  // removal can be run again from the Apps list.
  if (!left.empty()) return left;
  removeAppsEntry(root);
  if (!installed) return left;
  lock.reset();
  platform::removeFile(root / "install.lock");
  platform::FileSystem& files = platform::fileSystem();
  // A running program's file cannot go on Windows: a copy of it finishes once
  // this process has exited.
  if (samePlace(own.parent_path(), launcherFolder) && !platform::deleteTree(files, own)) {
    platform::startTemporaryCopy({"--uninstall-finish"});
    return left;
  }
  platform::deleteTree(files, launcherFolder, platform::kBusyBound);
  platform::deleteTree(files, root, platform::kBusyBound);
  return left;
}

void finishUninstall(const fs::path& root, const std::string& starter) {
  platform::leaveWorkingFolder();
  platform::waitForStarter(starter, kExitBound);
  const fs::path launcherFolder = root / "Launcher";
  if (!platform::deleteTree(platform::fileSystem(), launcherFolder, platform::kBusyBound))
    throw std::runtime_error(utf8(launcherFolder) + " is still in use and was left");
  std::error_code ec;
  fs::remove(root, ec);  // only when nothing else has appeared in it since
}

}  // namespace velmora
