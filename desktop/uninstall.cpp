#include "desktop/uninstall.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/text.h"
#include "desktop/register.h"
#include "desktop/scheme.h"
#include "install/install_lock.h"
#include "install/layout.h"
#include "platform/platform.h"

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

// A folder directly in `parent`, not a link or junction to one elsewhere.
bool realFolderIn(const fs::path& path, const fs::path& parent) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return false;
  try {
    return fs::equivalent(platform::realPath(path).parent_path(), parent, ec);
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

std::vector<fs::path> children(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    found.push_back(it->path());
  if (ec && ec != std::errc::no_such_file_or_directory)
    throw fs::filesystem_error("cannot list", folder, ec);
  return found;
}

bool contains(const std::vector<fs::path>& paths, const fs::path& path) {
  for (const fs::path& p : paths) {
    if (p == path) return true;
  }
  return false;
}

// What programs hold: whole versions, and the "Launcher" folder when a file in
// it other than this program's own is in use.
std::vector<fs::path> heldParts(const fs::path& root, const fs::path& own) {
  std::vector<fs::path> held;
  if (realFolderIn(root / "Versions", root)) {
    for (const fs::path& version : children(root / "Versions")) {
      if (platform::inUse(version)) held.push_back(version);
    }
  }
  for (const fs::path& file : children(root / "Launcher")) {
    std::error_code ec;
    if (!fs::equivalent(file, own, ec) && platform::inUse(file)) {
      held.push_back(root / "Launcher");
      break;
    }
  }
  return held;
}

void removeShortcuts() {
  const auto folder = platform::programsFolder();
  if (!folder) return;
  for (const char* name : kShortcutNames)
    platform::removeFile(*folder / pathFromUtf8(std::string(name) + platform::kShortcutExtension));
}

// Another install's registration is not ours to take.
void removeRegistrations(const fs::path& root, bool withEntry) {
  const auto command = platform::registryString(kSchemeCommandKey, nullptr);
  const auto program = command ? commandProgram(*command) : std::nullopt;
  if (program && samePlace(program->parent_path(), root / "Launcher"))
    platform::deleteRegistryKey(kSchemeKey);
  const std::u16string location = u"InstallLocation";
  const auto installed = platform::registryString(kAppsEntryKey, &location);
  if (withEntry && installed && samePlace(*installed, root))
    platform::deleteRegistryKey(kAppsEntryKey);
}

void removeVersions(const fs::path& versions, const std::vector<fs::path>& held) {
  bool kept = false;
  for (const fs::path& version : children(versions)) {
    if (contains(held, version)) {
      kept = true;
      continue;
    }
    removeVersion(version);
  }
  if (!kept) platform::removeTree(versions);
}

}  // namespace

std::vector<fs::path> uninstall(const fs::path& root) {
  const bool installed = present(root);
  const fs::path launcherFolder = root / "Launcher";
  if (installed && !present(root / "Versions") && !present(launcherFolder))
    throw std::runtime_error(utf8(root) + " is not a Velmora install; nothing was removed");
  // Never while a start installs into it.
  std::unique_ptr<InstallLock> lock;
  if (installed) lock = std::make_unique<InstallLock>(root);
  const fs::path own = platform::ownExecutablePath();
  const std::vector<fs::path> held = installed ? heldParts(root, own) : std::vector<fs::path>();

  removeShortcuts();
  removeRegistrations(root, held.empty());
  if (!installed) return held;

  // The "Launcher" folder goes last: until then a second run still finds an install.
  for (const fs::path& path : children(root)) {
    const fs::path name = path.filename();
    if (name == "Versions" && realFolderIn(path, root))
      removeVersions(path, held);
    else if (name != "Launcher" && name != "install.lock")
      platform::removeTree(path);
  }
  if (!held.empty()) return held;
  lock.reset();
  platform::removeFile(root / "install.lock");
  if (samePlace(own.parent_path(), launcherFolder) && platform::inUse(own)) {
    platform::startTemporaryCopy({"--uninstall-finish", std::to_string(platform::processId())});
    return held;
  }
  platform::removeTree(launcherFolder);
  platform::removeTree(root);
  return held;
}

void finishUninstall(const fs::path& root, std::uint32_t processId) {
  platform::waitForExit(processId, kExitBound);
  platform::removeTree(root / "Launcher");
  std::error_code ec;
  fs::remove(root, ec);  // only when nothing else has appeared in it since
}

}  // namespace velmora
