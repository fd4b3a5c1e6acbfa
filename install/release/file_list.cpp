#include "install/release/file_list.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "base/text.h"
#include "build_config.h"
#include "install/package.h"
#include "install/release/release.h"
#include "install/transfer/download.h"

namespace velmora {
namespace {

// A ZIP local header is 30 bytes, then the name and the extra field (each at
// most 65535 bytes), then the data.
constexpr std::uint64_t kLocalHeader = 30;
constexpr std::uint64_t kMaxNameAndExtra = 2 * 65535;
// Far beyond any file a game ships; keeps every sum below below overflow.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t(1) << 48;

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Splits "a b c" at single blanks into at most `count` fields, the last taking the rest.
std::vector<std::string> fields(const std::string& line, std::size_t count) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  while (out.size() + 1 < count) {
    const auto blank = line.find(' ', start);
    if (blank == std::string::npos) break;
    out.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  out.push_back(line.substr(start));
  return out;
}

std::string lowered(std::string name) {
  name = foldedName(name);
  if (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

// The list's bytes, checked against its row of the release file as they come.
class ListSink : public Sink {
 public:
  explicit ListSink(const ReleaseArchive& row) : check_(row) {}
  std::int64_t size() const override { return static_cast<std::int64_t>(text_.size()); }
  void restart() override {
    text_.clear();
    check_.restart();
  }
  void write(const char* data, std::size_t size) override {
    check_.take(data, size);
    text_.append(data, size);
  }
  std::string finish() {
    check_.finish();
    return std::move(text_);
  }
  bool overflowed() const { return check_.overflowed(); }

 private:
  ArchiveCheck check_;
  std::string text_;
};

// Why `name` cannot be installed below a package's folder, or nothing.
std::optional<std::string> nameProblem(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '\\') return "invalid name: " + name;
  }
  if (!isWellFormedUtf8(name)) return "name is not UTF-8: " + name;
  if (auto why = entryNameRefusal(name)) return why;
  std::string::size_type start = 0;
  std::string bare = name;
  if (!bare.empty() && bare.back() == '/') bare.pop_back();
  while (start <= bare.size()) {
    const auto end = std::min(bare.find('/', start), bare.size());
    const std::string part = bare.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return "name outside its folder: " + name;
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

const ListedPackage* FileList::find(const std::string& archive) const {
  for (const ListedPackage& package : packages) {
    if (package.archive == archive) return &package;
  }
  return nullptr;
}

FileList parseFileList(const std::string& text) {
  std::size_t number = 0;
  auto fail = [&number](const std::string& why) {
    return std::runtime_error("invalid file list: line " + std::to_string(number) + ": " + why);
  };
  FileList list;
  std::unordered_set<std::string> packages, names;
  std::string::size_type start = 0;
  while (start < text.size()) {
    ++number;
    const auto end = text.find('\n', start);
    if (end == std::string::npos) throw fail("missing line end");
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (number == 1) {
      if (!startsWith(line, "files 1 ") || line.size() == 8 ||
          line.find(' ', 8) != std::string::npos)
        throw fail("expected \"files 1 <version>\"");
      list.version = line.substr(8);
      continue;
    }
    if (startsWith(line, "package ")) {
      const std::string archive = line.substr(8);
      if (archive.empty() || archive.find_first_of(" /\\") != std::string::npos)
        throw fail("invalid package line");
      if (!packages.insert(archive).second) throw fail("package listed twice: " + archive);
      list.packages.push_back({archive, {}, {}});
      names.clear();
      continue;
    }
    if (list.packages.empty()) throw fail("no package line before it");
    ListedPackage& package = list.packages.back();
    std::string name;
    if (startsWith(line, "folder ")) {
      name = line.substr(7);
      if (name.empty() || name.back() != '/') throw fail("invalid folder line");
      if (auto why = nameProblem(name)) throw fail(*why);
      package.folders.push_back(name);
    } else if (startsWith(line, "file ")) {
      const auto f = fields(line, 9);
      ListedFile file;
      std::uint64_t method = 0;
      if (f.size() != 9 || !isSha256Text(f[1]) || !parseDecimal(f[2], kMaxFileBytes, file.size) ||
          (f[3] != "644" && f[3] != "755") || !parseDecimal(f[4], 8, method) ||
          (method != 0 && method != 8) || !parseDecimal(f[5], kMaxFileBytes, file.offset) ||
          !parseDecimal(f[6], kMaxFileBytes, file.length) ||
          !parseDecimal(f[7], kMaxFileBytes, file.compressedSize) || f[8].empty() ||
          f[8].back() == '/')
        throw fail("invalid file line");
      file.sha256 = f[1];
      file.executable = f[3] == "755";
      file.method = static_cast<Compression>(method);
      file.name = f[8];
      if (auto why = nameProblem(file.name)) throw fail(*why);
      // The header's own name and extra field lie between its start and the data.
      const std::uint64_t header = kLocalHeader + file.name.size();
      if (file.length < file.compressedSize + header ||
          file.length - file.compressedSize > header + kMaxNameAndExtra)
        throw fail("entry length does not fit its header and data: " + file.name);
      if (file.method == Compression::stored && file.compressedSize != file.size)
        throw fail("stored entry with another compressed size: " + file.name);
      name = file.name;
      package.files.push_back(std::move(file));
    } else {
      throw fail("unknown line");
    }
    // Windows names ignore case, in every script: two such entries would be one file there.
    if (!names.insert(lowered(name)).second) throw fail("listed twice: " + name);
  }
  if (number == 0) {
    number = 1;
    throw fail("expected \"files 1 <version>\"");
  }
  return list;
}

void checkFileList(const FileList& list, const Release& release) {
  auto fail = [](const std::string& why) {
    return std::runtime_error("invalid file list: " + why);
  };
  if (list.version != release.version) throw fail("it names version " + list.version);
  std::vector<const char*> archives;
  for (const Package& package : kPackages) archives.push_back(package.archive);
  archives.push_back(kStudioPackage.archive);
  if (list.packages.size() != archives.size())
    throw fail("it does not list exactly the release's packages");
  for (const char* archive : archives) {
    const ListedPackage* package = list.find(archive);
    const ReleaseArchive* row = release.find(archive);
    if (!package) throw fail("it does not list " + std::string(archive));
    if (!row) throw fail("the release does not list " + std::string(archive));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (const ListedFile& file : package->files) spans.emplace_back(file.offset, file.length);
    std::sort(spans.begin(), spans.end());
    std::uint64_t free = 0;
    for (const auto& [offset, length] : spans) {
      // Both are below 2^48, so the sum cannot wrap.
      if (offset < free || offset + length > row->size)
        throw fail("an entry of " + std::string(archive) + " lies outside it or over another");
      free = offset + length;
    }
  }
}

std::string foldedName(const std::string& name) { return caseFolded(name); }

PathOwners::PathOwners(const FileList& list, const std::vector<Package>& packages) {
  for (const Package& package : packages) {
    const ListedPackage* listed = list.find(package.archive);
    if (!listed) continue;
    for (const ListedFile& file : listed->files)
      owner_[foldedName(package.destination + file.name)] = package.archive;
  }
}

bool PathOwners::owns(const std::string& archive, const std::string& path) const {
  const auto at = owner_.find(foldedName(path));
  return at != owner_.end() && at->second == archive;
}

std::optional<FileList> fetchFileList(const Release& release, const std::string* fetched) {
  const ReleaseArchive* row = release.find(kFileListName);
  if (!row) return std::nullopt;
  const std::string name = release.version + "-" + kFileListName;
  if (row->size > kMaxFileListBytes) {
    throw ReleaseRefused("the file list of " + release.version + " is larger than " +
                         std::to_string(kMaxFileListBytes) + " bytes");
  }
  ListSink sink(*row);
  try {
    if (fetched) {
      sink.write(fetched->data(), fetched->size());
    } else {
      download(std::string(kSetupBaseUrl) + name, name, sink);
    }
  } catch (const std::runtime_error&) {
    // Bytes beyond the listed size end the transfer; the reason is the release's.
    if (sink.overflowed()) sink.finish();
    throw;
  }
  FileList list;
  try {
    list = parseFileList(sink.finish());
    checkFileList(list, release);
  } catch (const ReleaseRefused&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw ReleaseRefused("release " + release.version + ": " + e.what());
  }
  return list;
}

}  // namespace velmora
