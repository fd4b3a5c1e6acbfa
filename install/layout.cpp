#include "install/layout.h"

#include <fstream>
#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/sha256.h"

namespace velmora {

namespace fs = std::filesystem;

fs::path installRoot() {
  const fs::path base = platform::environmentPath("LOCALAPPDATA");
  if (base.empty()) throw std::runtime_error("LOCALAPPDATA is not set");
  // A relative value would install into, and register, whatever folder the
  // launcher was started from.
  if (!base.is_absolute()) throw std::runtime_error("LOCALAPPDATA is not an absolute path");
  return base / "Velmora";
}

namespace {

bool endsWithIgnoringCase(const std::string& name, const char* suffix, std::size_t length) {
  if (name.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (asciiLower(static_cast<unsigned char>(name[name.size() - length + i])) != suffix[i])
      return false;
  }
  return true;
}

}  // namespace

bool isStagingName(const std::string& name) {
  return endsWithIgnoringCase(name, kStagingSuffix, sizeof kStagingSuffix - 1) ||
         endsWithIgnoringCase(name, kResumeSuffix, sizeof kResumeSuffix - 1) ||
         endsWithIgnoringCase(name, platform::kTombstoneSuffix,
                              sizeof platform::kTombstoneSuffix - 1);
}

bool usableInstall(const fs::path& folder, const char* program) {
  return fs::exists(folder / kCompleteMarker) && fs::exists(folder / program);
}

VersionRemoval removeVersion(const fs::path& version, std::chrono::milliseconds wait) {
  platform::FileSystem& files = platform::fileSystem();
  // Set aside already, by an earlier start.
  if (endsWithIgnoringCase(utf8(version.filename()), platform::kTombstoneSuffix,
                           sizeof platform::kTombstoneSuffix - 1))
    return platform::deleteTree(files, version, wait) ? VersionRemoval::removed
                                                      : VersionRemoval::later;
  const platform::Removal removal =
      platform::removeAside(files, version, version.parent_path(), wait);
  if (removal.refused) return VersionRemoval::inUse;
  return removal.left ? VersionRemoval::later : VersionRemoval::removed;
}

bool holdsContent(const fs::path& path, std::uint64_t size, const std::string& sha256) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec))) return false;
  std::ifstream in(path, std::ios::binary);
  platform::Sha256 hash;
  // One per thread, never cleared: zeroing a fresh one for every file cost as much as a small file.
  thread_local std::vector<char> buffer(256 * 1024);
  std::uint64_t read = 0;
  while (in && read <= size) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    hash.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
    read += static_cast<std::uint64_t>(in.gcount());
  }
  return !in.bad() && read == size && hash.hex() == sha256;
}

bool isLink(const fs::path& path) {
  platform::FileSystem::Entry entry;
  return !platform::fileSystem().status(path, entry) && entry.link;
}

bool linkFree(const fs::path& base, std::string path, std::set<std::string>& seen) {
  if (!path.empty() && path.back() == '/') path.pop_back();
  // A folder counts as checked only once it is known to be no link, so a link
  // refuses every path through it, not only the first.
  const auto clear = [&](const std::string& part, const fs::path& at) {
    if (seen.count(part)) return true;
    if (isLink(at)) return false;
    seen.insert(part);
    return true;
  };
  if (!clear("", base)) return false;
  for (auto end = path.find('/');; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (end == std::string::npos) return !isLink(base / pathFromUtf8(part));
    if (!clear(part, base / pathFromUtf8(part))) return false;
  }
}

}  // namespace velmora
