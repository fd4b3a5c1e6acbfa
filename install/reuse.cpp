#include "install/reuse.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "base/files.h"
#include "base/text.h"
#include "install/installed.h"
#include "install/layout.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/retry.h"
#include "platform/sha256.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool isSha256(const std::string& s) {
  if (s.size() != 64) return false;
  for (unsigned char c : s) {
    if (!isAsciiDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

// A path the record may name: relative, below the version folder, one line.
bool safePath(std::string path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
  if (path.empty() || path[0] == '/') return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f || c == '\\' || c == ':') return false;
  }
  std::string::size_type start = 0;
  while (start <= path.size()) {
    const auto end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::vector<PackageRecord> parseFilesRecord(const std::string& text) {
  size_t number = 0;
  auto fail = [&number](const std::string& why) {
    return std::runtime_error("invalid files record: line " + std::to_string(number) + ": " + why);
  };
  std::vector<PackageRecord> records;
  std::string::size_type start = 0;
  while (start < text.size()) {
    ++number;
    auto end = text.find('\n', start);
    if (end == std::string::npos) throw fail("missing line end");
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (startsWith(line, "package ")) {
      const std::string sha = line.substr(8, 64);
      if (!isSha256(sha) || line.size() < 74 || line[72] != ' ') throw fail("invalid package line");
      PackageRecord record{line.substr(73), sha, {}};
      const auto space = record.archive.rfind(' ');
      if (space != std::string::npos) {
        record.listSha256 = record.archive.substr(space + 1);
        record.archive.resize(space);
        if (!isSha256(record.listSha256) || record.archive.empty())
          throw fail("invalid package line");
      }
      records.push_back(std::move(record));
      continue;
    }
    if (records.empty()) throw fail("no package line before it");
    InstalledFile file;
    if (startsWith(line, "folder ")) {
      file.path = line.substr(7);
      if (file.path.empty() || file.path.back() != '/') throw fail("invalid folder line");
    } else if (startsWith(line, "file ")) {
      const auto space = line.size() > 70 ? line.find(' ', 70) : std::string::npos;
      if (space == std::string::npos || line[69] != ' ') throw fail("invalid file line");
      file.sha256 = line.substr(5, 64);
      const std::string size = line.substr(70, space - 70);
      file.path = line.substr(space + 1);
      if (!isSha256(file.sha256) || size.empty() || size.size() > 19 ||
          size.find_first_not_of("0123456789") != std::string::npos || file.path.empty() ||
          file.path.back() == '/')
        throw fail("invalid file line");
      file.size = std::stoull(size);
    } else {
      throw fail("unknown line");
    }
    if (!safePath(file.path)) throw fail("path outside the version folder");
    records.back().files.push_back(std::move(file));
  }
  return records;
}

namespace {

// The package's own lines and what its list's SHA-256 is taken of.
std::string listLines(const PackageRecord& record, std::string* hashed) {
  std::string text;
  for (const InstalledFile& file : record.files) {
    if (file.path.back() == '/') {
      text += "folder " + file.path + "\n";
    } else {
      text += "file " + file.sha256 + " " + std::to_string(file.size) + " " + file.path + "\n";
    }
  }
  if (hashed) *hashed = record.sha256 + " " + record.archive + "\n" + text;
  return text;
}

std::string listSha256(const PackageRecord& record) {
  std::string hashed;
  listLines(record, &hashed);
  platform::Sha256 hash;
  hash.update(hashed.data(), hashed.size());
  return hash.hex();
}

}  // namespace

std::string formatFilesRecord(const std::vector<PackageRecord>& records) {
  std::string text;
  for (const PackageRecord& record : records) {
    text += "package " + record.sha256 + " " + record.archive + " " + listSha256(record) + "\n";
    text += listLines(record, nullptr);
  }
  return text;
}

bool intact(const PackageRecord& record) {
  return !record.listSha256.empty() && record.listSha256 == listSha256(record);
}

CheckedFiles parseIdentities(const std::string& text) {
  CheckedFiles files;
  std::size_t number = 0;
  for (std::string::size_type start = 0; start < text.size();) {
    const auto fail = [&] {
      return std::runtime_error("invalid identities record: line " + std::to_string(number));
    };
    ++number;
    const auto end = text.find('\n', start);
    if (end == std::string::npos || end - start < 66) throw fail();
    const char *at = text.data() + start + 64, *const stop = text.data() + end;
    CheckedFile file{text.substr(start, 64), {}};
    platform::FileIdentity& id = file.identity;
    const auto field = [&](auto& value) {
      if (*at != ' ') throw fail();
      const auto [next, error] = std::from_chars(at + 1, stop, value);
      if (error != std::errc() || next == at + 1) throw fail();
      at = next;
    };
    field(id.volume), field(id.idHigh), field(id.idLow), field(id.size), field(id.written),
        field(id.born);
    if (at == stop || *at != ' ') throw fail();
    std::string path(at + 1, stop);
    if (!isSha256(file.sha256) || !safePath(path) || path.back() == '/') throw fail();
    files[std::move(path)] = std::move(file);
    start = end + 1;
  }
  return files;
}

std::string formatIdentities(const CheckedFiles& files) {
  std::vector<const CheckedFiles::value_type*> ordered;
  for (const auto& entry : files) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) { return a->first < b->first; });
  std::string text;
  for (const auto* entry : ordered) {
    const platform::FileIdentity& id = entry->second.identity;
    text += entry->second.sha256 + " " + std::to_string(id.volume) + " " +
            std::to_string(id.idHigh) + " " + std::to_string(id.idLow) + " " +
            std::to_string(id.size) + " " + std::to_string(id.written) + " " +
            std::to_string(id.born) + " " + entry->first + "\n";
  }
  return text;
}

namespace {

// A record of `folder` parsed, or nothing where it is missing or damaged.
template <typename Parse>
auto readRecord(const fs::path& folder, const char* name, Parse parse) -> decltype(parse("")) {
  // A record reached through a link describes some other folder.
  if (isLink(folder) || isLink(folder / name)) return {};
  const auto text = readWholeFile(folder / name);
  if (!text) return {};
  try {
    return parse(*text);
  } catch (const std::runtime_error&) {
    return {};
  }
}

}  // namespace

std::vector<PackageRecord> readFilesRecord(const fs::path& folder) {
  return readRecord(folder, kFilesRecord, [](const std::string& t) { return parseFilesRecord(t); });
}

CheckedFiles readIdentities(const fs::path& folder) {
  return readRecord(folder, kIdentitiesRecord,
                    [](const std::string& t) { return parseIdentities(t); });
}

namespace {

void writeRecord(const fs::path& folder, const std::vector<PackageRecord>& records) {
  writeWholeFile(folder / kFilesRecord, formatFilesRecord(records));
}

using Identity = std::optional<platform::FileIdentity>;

// Whether `path` holds `size` bytes with `sha256`: without reading it when it
// is still the file `known` describes, else by its hash. `identity` becomes
// what the file system says of the file so checked.
bool verified(const fs::path& path, std::uint64_t size, const std::string& sha256,
              const CheckedFile* known, Identity& identity) {
  identity = platform::fileIdentity(path);
  if (identity && known && known->sha256 == sha256 && known->identity == *identity &&
      identity->size == size)
    return true;
  if (!holdsContent(path, size, sha256)) return false;
  // Written or replaced while it was read: what was hashed may be neither file.
  return identity == platform::fileIdentity(path);
}

// Whether the file just placed at `target` is the one checked as `checked`:
// the same file, or else (a copy, a system without identities, a source
// replaced in between) one that hashes as it should. `identity` becomes its own.
bool placedAsChecked(const fs::path& target, std::uint64_t size, const std::string& sha256,
                     const Identity& checked, Identity& identity) {
  identity = platform::fileIdentity(target);
  if (checked && identity == checked) return true;
  return verified(target, size, sha256, nullptr, identity);
}

const CheckedFile* knownAt(const CheckedFiles* known, const std::string& path) {
  if (!known) return nullptr;
  const auto at = known->find(path);
  return at == known->end() ? nullptr : &at->second;
}

// Every file of `record` is in `from` as recorded, reached through no link;
// `checked`, if given, gets each file's identity as checked.
bool sourceWhole(const PackageRecord& record, const fs::path& from,
                 const CheckedFiles* known = nullptr, std::vector<Identity>* checked = nullptr) {
  std::set<std::string> seen;
  for (const InstalledFile& file : record.files) {
    Identity identity;
    if (!linkFree(from, file.path, seen)) return false;
    if (file.path.back() != '/' && !verified(from / pathFromUtf8(file.path), file.size, file.sha256,
                                             knownAt(known, file.path), identity))
      return false;
    if (checked) checked->push_back(identity);
  }
  return true;
}

// Links or copies `record`'s checked files from `from` into `to`, which must
// lead through no link either; adds the copies to `copies`. False, with what it
// placed removed again, when that or placing a file fails.
// Puts the file `from` at `target` as a hard link, else a copy (added to
// `copies`), replacing what is there; false when neither works or a copy is
// not `size` bytes. `folders`, if given, remembers the folders made.
bool placeFile(const fs::path& from, const fs::path& target, std::uint64_t size,
               std::vector<fs::path>& copies, std::set<fs::path>* folders = nullptr) {
  std::error_code ec;
  if (!folders || folders->insert(target.parent_path()).second)
    fs::create_directories(target.parent_path(), ec);
  // An earlier package's file at the same path is replaced, as unpacking would.
  fs::remove(target, ec);
  fs::create_hard_link(from, target, ec);
  if (!ec) return true;  // the file checked, under a second name
  ec.clear();
  fs::copy_file(from, target, ec);
  copies.push_back(target);
  return !ec && fs::file_size(target, ec) == size && !ec;
}

bool placeRecord(const PackageRecord& record, const fs::path& from, const fs::path& to,
                 std::vector<fs::path>& copies,
                 const std::function<bool(const std::string&)>& skip = {}) {
  std::set<std::string> seen;
  for (const InstalledFile& file : record.files) {
    if (!linkFree(to, file.path, seen)) return false;
  }
  std::vector<fs::path> made;
  bool whole = true;
  for (const InstalledFile& file : record.files) {
    const fs::path target = to / pathFromUtf8(file.path);
    std::error_code ec;
    if (file.path.back() == '/') {
      fs::create_directories(target, ec);
      if (ec) whole = false;
      if (!whole) break;
      continue;
    }
    if (skip && skip(file.path)) continue;
    made.push_back(target);
    if (!placeFile(from / pathFromUtf8(file.path), target, file.size, copies)) {
      whole = false;
      break;
    }
  }
  if (!whole) {
    // Unpacking the download replaces links by new files, but a stale one must not stay.
    for (const fs::path& path : made) fs::remove(path);
  }
  return whole;
}

bool sameArchive(const PackageRecord& a, const PackageRecord& b) {
  return a.archive == b.archive && a.sha256 == b.sha256;
}

// Every file the record carries is the one the list gives its path, and the list names no other.
bool matchesList(const PackageRecord& record, const Package& package, const ListedPackage* listed) {
  if (!listed) return false;
  std::unordered_map<std::string, const ListedFile*> byPath;
  for (const ListedFile& file : listed->files)
    byPath.emplace(package.destination + file.name, &file);
  std::size_t files = 0;
  for (const InstalledFile& file : record.files) {
    if (file.path.back() == '/') continue;
    const auto at = byPath.find(file.path);
    if (at == byPath.end() || at->second->size != file.size || at->second->sha256 != file.sha256)
      return false;
    ++files;
  }
  return files == byPath.size();
}

}  // namespace

namespace {

// Moves the files of `from` that `to` lacks into `to`, never through a link;
// the records and markers at the top stay.
void takeLooseFiles(const fs::path& from, const fs::path& to, const std::string& below = {}) {
  std::error_code ec;
  for (fs::directory_iterator it(from / pathFromUtf8(below), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = utf8(it->path().filename());
    if (below.empty() && name[0] == '.') continue;
    const std::string path = below + name;
    const fs::file_status status = it->symlink_status(ec);
    if (ec || isLink(it->path())) continue;
    if (fs::is_directory(status)) {
      takeLooseFiles(from, to, path + "/");
      continue;
    }
    std::set<std::string> seen;
    const fs::path target = to / pathFromUtf8(path);
    std::error_code missing;
    if (!fs::is_regular_file(status) || !linkFree(to, path, seen) ||
        fs::exists(fs::symlink_status(target, missing)))
      continue;
    fs::create_directories(target.parent_path(), missing);
    fs::rename(it->path(), target, missing);
  }
}

}  // namespace

void keepCutOffPackages(const fs::path& staging, const fs::path& resume, bool files) {
  // A staging name that is a link is only removed, never entered.
  if (isLink(staging)) return;
  std::vector<PackageRecord> kept = readFilesRecord(staging);
  const std::size_t read = kept.size();
  // Lines cut off by a power cut, or changed since, vouch for nothing.
  kept.erase(std::remove_if(kept.begin(), kept.end(), [](const auto& r) { return !intact(r); }),
             kept.end());
  std::error_code ec;
  if (kept.empty() &&
      (!files || !fs::is_directory(fs::symlink_status(staging, ec)) || isLink(staging)))
    return;
  if (kept.size() < read) writeRecord(staging, kept);
  std::vector<fs::path> copies;  // flushed, if at all, when carried on from `resume`
  for (const PackageRecord& older : readFilesRecord(resume)) {
    bool have = false;
    for (const PackageRecord& record : kept) have = have || sameArchive(record, older);
    if (!have && intact(older) && sourceWhole(older, resume) &&
        placeRecord(older, resume, staging, copies)) {
      kept.push_back(older);
      writeRecord(staging, kept);
    }
  }
  // Files a cut-off attempt finished that the list vouches for on the next one.
  if (files && !isLink(resume)) takeLooseFiles(resume, staging);
  // A start killed between the marker and the move left one; this name must never count as
  // installed.
  fs::remove(staging / kCompleteMarker);
  platform::moveFolder(platform::fileSystem(), staging, resume, resume.parent_path(),
                       platform::kBusyBound);
}

PackageReuse::PackageReuse(const InstalledVersions& installed,
                           const std::optional<Release>& release, const fs::path& staging,
                           const fs::path& resume, const FileList* list)
    : release_(release), staging_(staging), list_(list) {
  if (!release_) return;
  if (list_) owners_.emplace(*list_, std::vector<Package>(kPackages.begin(), kPackages.end()));
  std::vector<PackageRecord> cutOff = readFilesRecord(resume);
  cutOff.erase(
      std::remove_if(cutOff.begin(), cutOff.end(), [](const auto& r) { return !intact(r); }),
      cutOff.end());
  sources_.push_back({resume, cutOff});
  std::error_code ec;
  resumeFound_ = fs::is_directory(fs::symlink_status(resume, ec));
  const InstalledVersion* previous = installed.newest();
  if (!previous) return;
  // Written whole before its marker, a complete version's record may be one from before records
  // were tied to their lists; one that is tied must match.
  std::vector<PackageRecord> complete = installed.newestFiles();
  complete.erase(std::remove_if(complete.begin(), complete.end(),
                                [](const auto& r) { return !r.listSha256.empty() && !intact(r); }),
                 complete.end());
  for (const PackageRecord& record : complete) {
    for (const InstalledFile& file : record.files) {
      if (file.path.back() != '/') previousBySha_.emplace(file.sha256, file.path);
    }
  }
  sources_.push_back({previous->folder, std::move(complete), &installed.newestIdentities()});
}

bool PackageReuse::owned(const Package& package, const std::string& path) const {
  return !owners_ || owners_->owns(package.archive, path);
}

bool PackageReuse::has(const Package& package) {
  if (!release_) return false;
  const ReleaseArchive* expected = release_->find(package.archive);
  if (!expected) return false;
  const PackageRecord wanted{package.archive, expected->sha256, {}};
  const ListedPackage* listed = list_ ? list_->find(package.archive) : nullptr;
  for (const Source& source : sources_) {
    for (const PackageRecord& record : source.records) {
      std::vector<Identity> checked;
      if (sameArchive(record, wanted) && (!list_ || matchesList(record, package, listed)) &&
          sourceWhole(record, source.folder, source.checked, &checked)) {
        const std::lock_guard<std::mutex> lock(plans_);
        planned_.push_back(
            {record, source.folder, &source == &sources_.front(), std::move(checked)});
        return true;
      }
    }
  }
  return false;
}

std::vector<fs::path> PackageReuse::place(const Package& package) {
  std::vector<fs::path> unflushed;
  const std::lock_guard<std::mutex> lock(plans_);
  for (const Plan& plan : planned_) {
    if (plan.record.archive != package.archive) continue;
    const auto skip = [&](const std::string& path) { return !owned(package, path); };
    if (!placeRecord(plan.record, plan.from, staging_, unflushed, skip))
      throw std::runtime_error("cannot place the unchanged files of " + plan.record.archive +
                               " from " + utf8(plan.from));
    // Checked before the downloads: what stands at each name now must be what was checked then.
    for (std::size_t i = 0; i < plan.record.files.size(); ++i) {
      const InstalledFile& file = plan.record.files[i];
      if (file.path.back() == '/' || skip(file.path)) continue;
      Identity identity;
      if (!placedAsChecked(staging_ / pathFromUtf8(file.path), file.size, file.sha256,
                           plan.checked[i], identity)) {
        for (const InstalledFile& placed : plan.record.files) {
          if (placed.path.back() != '/' && !skip(placed.path))
            fs::remove(staging_ / pathFromUtf8(placed.path));
        }
        throw std::runtime_error("the unchanged file " + file.path + " in " + utf8(plan.from) +
                                 " changed while the update ran");
      }
      if (identity) checked_[file.path] = {file.sha256, *identity};
    }
    // A complete version's files were flushed before its marker; a cut-off attempt's may not be.
    if (plan.cutOff) {
      unflushed.clear();
      for (const InstalledFile& file : plan.record.files) {
        if (file.path.back() != '/') unflushed.push_back(staging_ / pathFromUtf8(file.path));
      }
    }
    now_.push_back(plan.record);
    write();
    break;
  }
  return unflushed;
}

std::optional<PackageReuse::Held> PackageReuse::find(
    const std::string& path, const ListedFile& file,
    std::map<fs::path, std::set<std::string>>& clean) const {
  std::vector<std::pair<const fs::path*, std::string>> candidates;  // folder and path in it
  if (resumeFound_) candidates.emplace_back(&sources_.front().folder, path);
  if (sources_.size() > 1) {
    candidates.emplace_back(&sources_[1].folder, path);
    const auto same = previousBySha_.find(file.sha256);
    if (same != previousBySha_.end() && same->second != path)
      candidates.emplace_back(&sources_[1].folder, same->second);
  }
  for (const auto& [folder, at] : candidates) {
    const fs::path source = *folder / pathFromUtf8(at);
    const bool cutOff = folder == &sources_.front().folder;
    Identity identity;
    if (linkFree(*folder, at, clean[*folder]) && platform::hasListedMode(source, file.executable) &&
        verified(source, file.size, file.sha256,
                 cutOff ? nullptr : knownAt(sources_[1].checked, at), identity))
      return Held{path, source, cutOff, &file, identity};
  }
  return std::nullopt;
}

std::vector<const ListedFile*> PackageReuse::lacks(const Package& package,
                                                   const ListedPackage& listed) {
  std::vector<const ListedFile*> missing;
  std::vector<Held> held;
  std::map<fs::path, std::set<std::string>> clean;
  for (const ListedFile& file : listed.files) {
    const std::string path = package.destination + file.name;
    if (!owned(package, path)) continue;
    if (auto found = release_ ? find(path, file, clean) : std::nullopt) {
      held.push_back(std::move(*found));
    } else {
      missing.push_back(&file);
    }
  }
  const std::lock_guard<std::mutex> lock(plans_);
  held_.emplace_back(package.archive, std::move(held));
  return missing;
}

std::vector<fs::path> PackageReuse::placeHeld(const Package& package) {
  std::vector<Held> held;
  {
    const std::lock_guard<std::mutex> lock(plans_);
    // Asked once per package: what it holds is not kept beyond that.
    for (auto& [archive, files] : held_) {
      if (archive == package.archive) held = std::move(files);
    }
  }
  std::vector<fs::path> unflushed;
  std::set<std::string> seen;
  std::set<fs::path> folders;
  for (const Held& file : held) {
    const fs::path target = staging_ / pathFromUtf8(file.path);
    const auto slash = file.path.rfind('/');
    // The name itself may be anything: removing it never follows a link.
    if ((slash != std::string::npos && !linkFree(staging_, file.path.substr(0, slash), seen)) ||
        !placeFile(file.source, target, file.listed->size, unflushed, &folders))
      throw std::runtime_error("cannot place the unchanged file " + file.path + " from " +
                               utf8(file.source));
    Identity identity;
    if (!placedAsChecked(target, file.listed->size, file.listed->sha256, file.identity, identity)) {
      fs::remove(target);
      throw std::runtime_error("the unchanged file " + file.path + " in " + utf8(file.source) +
                               " changed while the update ran");
    }
    {
      const std::lock_guard<std::mutex> lock(plans_);
      placedHeld_[file.path] = identity;
    }
    // A complete version's files were flushed before its marker; a cut-off attempt's may not be.
    if (file.cutOff && (unflushed.empty() || unflushed.back() != target))
      unflushed.push_back(target);
  }
  return unflushed;
}

void PackageReuse::installed(const Package& package, const std::vector<InstalledFile>& files) {
  if (!release_) return;
  const ReleaseArchive* expected = release_->find(package.archive);
  if (!expected) return;
  PackageRecord record{package.archive, expected->sha256, {}};
  for (const InstalledFile& file : files) {
    InstalledFile placed = file;
    placed.path = std::string(package.destination) + file.path;
    if (!safePath(placed.path)) return;
    record.files.push_back(std::move(placed));
  }
  for (const InstalledFile& file : record.files) {
    if (file.path.back() == '/') continue;
    // A held file as it was placed and checked; one written here as it stands.
    Identity identity;
    {
      const std::lock_guard<std::mutex> lock(plans_);
      const auto at = placedHeld_.find(file.path);
      if (at != placedHeld_.end()) {
        identity = at->second;
        placedHeld_.erase(at);
      } else {
        identity = platform::fileIdentity(staging_ / pathFromUtf8(file.path));
      }
    }
    if (identity) {
      checked_[file.path] = {file.sha256, *identity};
    } else {
      checked_.erase(file.path);
    }
  }
  // In name order, however the package arrived: unpacked, or carried and fetched file by file.
  std::stable_sort(record.files.begin(), record.files.end(),
                   [](const InstalledFile& a, const InstalledFile& b) { return a.path < b.path; });
  now_.push_back(std::move(record));
  write();
}

void PackageReuse::confirm() {
  for (auto& [path, file] : checked_) {
    const fs::path target = staging_ / pathFromUtf8(path);
    Identity now = platform::fileIdentity(target);
    if (now == file.identity) continue;
    // Touched, or written through the old version's name for the same file, since its check.
    if (!verified(target, file.identity.size, file.sha256, nullptr, now) || !now)
      throw std::runtime_error("the unchanged file " + path + " changed while the update ran");
    file.identity = *now;
  }
  // Once, at the end: only a complete version's identities are ever trusted.
  if (release_) writeWholeFile(staging_ / kIdentitiesRecord, formatIdentities(checked_));
}

void PackageReuse::write() const {
  if (!release_) return;
  // Packages finish in any order when they download side by side; the record
  // keeps the table's, so a version's record never depends on the network.
  std::vector<PackageRecord> ordered = now_;
  const auto row = [](const PackageRecord& record) {
    return std::find_if(kPackages.begin(), kPackages.end(),
                        [&](const Package& p) { return record.archive == p.archive; }) -
           kPackages.begin();
  };
  std::stable_sort(ordered.begin(), ordered.end(),
                   [&](const PackageRecord& a, const PackageRecord& b) { return row(a) < row(b); });
  writeRecord(staging_, ordered);
}

}  // namespace velmora
