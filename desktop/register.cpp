#include "desktop/register.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "desktop/icon.h"
#include "desktop/scheme.h"
#include "platform/platform.h"
#include "platform/removal.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  std::vector<char> x(1 << 16), y(1 << 16);
  while (first && second) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (first.gcount() != second.gcount() ||
        !std::equal(x.begin(), x.begin() + first.gcount(), y.begin()))
      return false;
  }
  return first.eof() && second.eof();
}

// Copies set aside while they ran, and copies cut off half way by a kill.
void removeLeftovers(const fs::path& folder, const fs::path& copy) {
  const auto stale = fs::file_time_type::clock::now() - std::chrono::minutes(10);
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    const std::string name = utf8(path.filename()), prefix = utf8(copy.filename()) + ".";
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const bool aside = name.size() > 4 && name.compare(name.size() - 4, 4, ".old") == 0;
    // Another start may be writing its fresh copy right now. (Its own error: an
    // entry pending deletion cannot be read, and must not end the listing.)
    std::error_code timeError;
    const bool fresh = name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0 &&
                       fs::last_write_time(path, timeError) < stale && !timeError;
    // One still running or held stays for a later start.
    if (aside || fresh) platform::deleteTree(platform::fileSystem(), path);
  }
}

}  // namespace

fs::path copyLauncher(const fs::path& root) {
  const fs::path own = platform::ownExecutablePath();
  const fs::path folder = root / "Launcher";
  const fs::path copy = folder / own.filename();
  fs::create_directories(folder);
  removeLeftovers(folder, copy);
  // Compared by identity first: a start through the link or a shortcut runs the
  // copy itself.
  std::error_code ec;
  if (fs::equivalent(own, copy, ec) || sameBytes(own, copy)) return copy;
  // Only the executable: files beside a download (a planted DLL) must never
  // reach the folder that every link runs from.
  const fs::path fresh = fs::path(copy) += "." + randomToken() + ".new";
  fs::copy_file(own, fresh, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    throw std::runtime_error("cannot copy the launcher to " + utf8(fresh) + " (" + ec.message() +
                             "); check that the folder can be written to and try again");
  }
  // An old copy that runs (a waiting start, a tool-server session), that a
  // scanner or the shell holds, or that is read-only cannot be replaced, but it
  // can be renamed.
  platform::replaceFile(platform::fileSystem(), fresh, copy);
  return copy;
}

namespace {

void writeValues(const std::vector<RegistryValue>& values) {
  for (const RegistryValue& value : values) {
    if (value.number) {
      platform::setRegistryNumber(value.key, value.name, *value.number);
    } else {
      platform::setRegistryString(value.key, value.isDefault ? nullptr : &value.name, value.data,
                                  value.dataSize());
    }
  }
}

// Kilobytes of the files below `root`, links not followed; unreadable parts count as empty.
std::uint32_t kilobytesBelow(const fs::path& root) {
  std::uintmax_t bytes = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError)) {
      const auto size = it->file_size(sizeError);
      if (!sizeError) bytes += size;
    }
  }
  return static_cast<std::uint32_t>(std::min<std::uintmax_t>((bytes + 1023) / 1024, UINT32_MAX));
}

void writeAppsEntry(const fs::path& root, const fs::path& launcher, const fs::path& icon,
                    const fs::path& versionFolder) {
  const std::u16string version = versionFolder.filename().u16string();
  const std::u16string shown = u"DisplayVersion";
  // Walked once per version, on the start that installed it, not on every start.
  std::optional<std::uint32_t> kilobytes;
  if (platform::registryString(kAppsEntryKey, &shown) != version) kilobytes = kilobytesBelow(root);
  writeValues(appsEntryValues(root, launcher, icon, version, kilobytes));
}

// Returns the file the shortcuts should name as their icon.
fs::path writeIconFile(const fs::path& versionFolder, const fs::path& root,
                       const fs::path& launcher) {
  const auto png = readWholeFile(versionFolder / "content" / "icon.png");
  const auto ico = png ? iconFileBytes(*png) : std::nullopt;
  if (!ico) return launcher;
  const fs::path iconFile = root / "icon.ico";
  if (readWholeFile(iconFile) == ico) return iconFile;
  try {
    writeWholeFile(iconFile, *ico);
  } catch (const std::runtime_error&) {
    // A shortcut naming an icon file that was not written would show no icon at all.
    return launcher;
  }
  return iconFile;
}

void writeShortcuts(const fs::path& launcher, const fs::path& icon) {
  const auto folder = platform::programsFolder();
  if (!folder) return;
  platform::ShellLinks links;
  const auto write = [&](const std::string& name, const std::u16string& arguments,
                         const std::u16string& description) {
    const fs::path file = *folder / pathFromUtf8(name + platform::kShortcutExtension);
    if (links.write(file, launcher, arguments, description, icon) ==
        platform::ShellLinks::Result::saveFailed) {
      std::cerr << "warning: could not create " << utf8(file) << std::endl;
    }
  };
  write(kShortcutNames[0], u"", u"Velmora");
  write(kShortcutNames[1], u"--studio", u"Velmora Studio");
}

}  // namespace

void registerHandler(const fs::path& root, const fs::path& versionFolder) {
  const fs::path launcher = copyLauncher(root);
  writeValues(schemeValues(launcher));
  const fs::path icon = writeIconFile(versionFolder, root, launcher);
  writeShortcuts(launcher, icon);
  writeAppsEntry(root, launcher, icon, versionFolder);
}

}  // namespace velmora
