#include "install/reuse.h"

#include <algorithm>

#include <fstream>
#include <stdexcept>
#include <system_error>

#include "base/files.h"
#include "base/text.h"
#include "install/layout.h"
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

std::string fileSha256(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  platform::Sha256 hash;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    hash.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  return in.bad() ? "" : hash.hex();
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
      records.push_back({line.substr(73), sha, {}});
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

std::string formatFilesRecord(const std::vector<PackageRecord>& records) {
  std::string text;
  for (const PackageRecord& record : records) {
    text += "package " + record.sha256 + " " + record.archive + "\n";
    for (const InstalledFile& file : record.files) {
      if (file.path.back() == '/') {
        text += "folder " + file.path + "\n";
      } else {
        text += "file " + file.sha256 + " " + std::to_string(file.size) + " " + file.path + "\n";
      }
    }
  }
  return text;
}

namespace {

// The record in `folder`; empty when it has none or a damaged one, which vouches for nothing.
std::vector<PackageRecord> readRecord(const fs::path& folder) {
  const auto text = readWholeFile(folder / kFilesRecord);
  if (!text) return {};
  try {
    return parseFilesRecord(*text);
  } catch (const std::runtime_error&) {
    return {};
  }
}

void writeRecord(const fs::path& folder, const std::vector<PackageRecord>& records) {
  writeWholeFile(folder / kFilesRecord, formatFilesRecord(records));
}

// Links or copies `record`'s files from `from` into `to`, each checked. False,
// with the carried files removed again, when one is missing or differs.
bool carryRecord(const PackageRecord& record, const fs::path& from, const fs::path& to) {
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
    const fs::path source = from / pathFromUtf8(file.path);
    fs::create_directories(target.parent_path(), ec);
    // An earlier package's file at the same path is replaced, as unpacking would.
    fs::remove(target, ec);
    fs::create_hard_link(source, target, ec);
    if (ec) {
      ec.clear();
      fs::copy_file(source, target, ec);
    }
    if (ec) {
      whole = false;
      break;
    }
    made.push_back(target);
    if (fs::file_size(target, ec) != file.size || ec || fileSha256(target) != file.sha256) {
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

}  // namespace

void keepCutOffPackages(const fs::path& staging, const fs::path& resume) {
  std::vector<PackageRecord> kept = readRecord(staging);
  if (kept.empty()) return;
  for (const PackageRecord& older : readRecord(resume)) {
    bool have = false;
    for (const PackageRecord& record : kept) have = have || sameArchive(record, older);
    if (!have && carryRecord(older, resume, staging)) {
      kept.push_back(older);
      writeRecord(staging, kept);
    }
  }
  // A start killed between the marker and the move left one; this name must never count as
  // installed.
  fs::remove(staging / kCompleteMarker);
  platform::moveFolder(platform::fileSystem(), staging, resume, resume.parent_path(),
                       platform::kBusyBound);
}

PackageReuse::PackageReuse(const fs::path& versions, const std::optional<Release>& release,
                           const fs::path& staging, const fs::path& resume)
    : release_(release), staging_(staging) {
  if (!release_) return;
  sources_.push_back({resume, readRecord(resume)});
  const fs::path previous = newestInstalled(versions);
  if (!previous.empty()) sources_.push_back({previous, readRecord(previous)});
}

bool PackageReuse::carry(const Package& package) {
  if (!release_) return false;
  const ReleaseArchive* expected = release_->find(package.archive);
  if (!expected) return false;
  const PackageRecord wanted{package.archive, expected->sha256, {}};
  for (const Source& source : sources_) {
    for (const PackageRecord& record : source.records) {
      if (sameArchive(record, wanted) && carryRecord(record, source.folder, staging_)) {
        now_.push_back(record);
        write();
        return true;
      }
    }
  }
  return false;
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
  now_.push_back(std::move(record));
  write();
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
