#include "install/package.h"

#include <archive.h>
#include <archive_entry.h>
#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "build_config.h"
#include "install/download.h"
#include "install/release.h"
#include "launcher/text.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

// Permissions and times are restored; "..", and writing through a symbolic
// link, are refused by the writer. Absolute targets must stay allowed: every
// target we hand over is the destination joined with the entry name.
constexpr int kExtractOptions = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
constexpr size_t kReadBlockSize = 65536;

using ReadArchive = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteArchive = std::unique_ptr<archive, decltype(&archive_write_free)>;

std::string hashHex(crypto_hash_sha256_state& state) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, hash);
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
  return hex;
}

std::string errorText(archive* a) {
  const char* text = archive_error_string(a);
  return text && *text ? text : "the archive library reported an error without a reason";
}

// The archive library offers narrow and wide path calls; use the one that
// matches the native path type so no code-page conversion happens on the way.
[[maybe_unused]] int openArchiveFile(archive* a, const char* path) {
  return archive_read_open_filename(a, path, kReadBlockSize);
}
[[maybe_unused]] int openArchiveFile(archive* a, const wchar_t* path) {
  return archive_read_open_filename_w(a, path, kReadBlockSize);
}
[[maybe_unused]] fs::path entryName(archive_entry* e, char) {
  const char* name = archive_entry_pathname(e);
  return name ? fs::path(name) : fs::path();
}
[[maybe_unused]] fs::path entryName(archive_entry* e, wchar_t) {
  const wchar_t* name = archive_entry_pathname_w(e);
  return name ? fs::path(name) : fs::path();
}
[[maybe_unused]] void setEntryPath(archive_entry* e, const char* path) {
  archive_entry_copy_pathname(e, path);
}
[[maybe_unused]] void setEntryPath(archive_entry* e, const wchar_t* path) {
  archive_entry_copy_pathname_w(e, path);
}

// Why an entry must not be written, or nothing. `name` has '/' separators only.
std::optional<std::string> refusal(const std::string& name, archive_entry* entry) {
  const bool drive =
      name.size() >= 2 && isAsciiAlpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
  if (name.empty() || name[0] == '/' || drive) {
    return "refusing absolute or empty entry name: " + name;
  }
  // Windows reads a ':' later in a name as a drive or a hidden stream of a file.
  if (name.find(':') != std::string::npos) return "refusing entry name with ':': " + name;
  const auto type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR)) {
    return "refusing entry that is neither a file nor a folder: " + name;
  }
  std::string::size_type start = 0;
  while (start <= name.size()) {
    const auto end = std::min(name.find('/', start), name.size());
    if (isReservedDeviceName(name.substr(start, end - start))) {
      return "refusing device name in entry: " + name;
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

void extractArchive(const fs::path& archiveFile, const fs::path& destination,
                    std::vector<InstalledFile>* written) {
  ReadArchive reader(archive_read_new(), &archive_read_free);
  WriteArchive writer(archive_write_disk_new(), &archive_write_free);
  if (!reader || !writer)
    throw std::runtime_error("extracting " + utf8(archiveFile) + " failed: out of memory");
  // The seekable reader checks entries against the central directory; the
  // streaming one would install an archive whose directory was cut off.
  archive_read_support_format_zip_seekable(reader.get());
  archive_write_disk_set_options(writer.get(), kExtractOptions);
  // The writer refuses any symbolic link on the way to a target, also above the
  // destination (a linked home folder), so hand it the destination's real path.
  fs::create_directories(destination);
  const fs::path root = fs::canonical(destination);

  std::string error;
  if (openArchiveFile(reader.get(), archiveFile.c_str()) != ARCHIVE_OK)
    error = errorText(reader.get());
  while (error.empty()) {
    archive_entry* entry = nullptr;
    const int header = archive_read_next_header(reader.get(), &entry);
    if (header == ARCHIVE_EOF) break;
    // A header that cannot be read means a damaged archive; never install it as whole.
    if (header != ARCHIVE_OK) {
      error = errorText(reader.get());
      break;
    }
    // Archives made on Windows may use '\'; it separates folders on every platform here.
    std::string name = utf8(entryName(entry, fs::path::value_type()));
    std::replace(name.begin(), name.end(), '\\', '/');
    if (auto why = refusal(name, entry)) {
      error = *why;
      break;
    }
    const fs::path target = root / pathFromUtf8(name);
    const fs::path inside = target.lexically_normal().lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") {
      error = "refusing entry outside the destination: " + name;
      break;
    }
    const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
    if (inside == ".") {
      if (folder) continue;  // "./": nothing to create, and its mode must not lock us out
      error = "refusing entry that names the destination itself: " + name;
      break;
    }
    // Whatever modes the archive records, a later update must be able to remove the tree.
    archive_entry_set_perm(entry, archive_entry_perm(entry) | (folder ? 0700 : 0600));
    setEntryPath(entry, target.c_str());
    if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
      error = errorText(writer.get());
      break;
    }
    InstalledFile file;
    file.path = inside.generic_u8string();
    while (!file.path.empty() && file.path.back() == '/') file.path.pop_back();
    if (folder) file.path += '/';
    crypto_hash_sha256_state hash;
    crypto_hash_sha256_init(&hash);
    while (true) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
      if (read == ARCHIVE_EOF) break;
      if (read != ARCHIVE_OK) {
        if (error.empty()) error = errorText(reader.get());
        break;
      }
      if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
        error = errorText(writer.get());
        break;
      }
      crypto_hash_sha256_update(&hash, static_cast<const unsigned char*>(block), size);
      file.size += size;
    }
    archive_write_finish_entry(writer.get());
    if (written && error.empty()) {
      if (!folder) file.sha256 = hashHex(hash);
      written->push_back(std::move(file));
    }
  }
  reader.reset();
  writer.reset();
  if (!error.empty())
    throw std::runtime_error("extracting " + utf8(archiveFile) + " failed: " + error);
}

void install(const std::string& version, const std::string& archive, const fs::path& destination,
             const ReleaseArchive* expected, std::vector<InstalledFile>* written) {
  fs::create_directories(destination);
  const fs::path archiveFile = destination / pathFromUtf8(archive);
  {
    // Not checked on open: a file that cannot be written fails the first
    // write, which aborts the transfer with a download error.
    std::ofstream out(archiveFile, std::ios::binary | std::ios::trunc);
    const std::string url = std::string(kSetupBaseUrl) + version + "-" + archive;
    if (expected) {
      ArchiveCheck check(out.rdbuf(), *expected);
      std::ostream checked(&check);
      try {
        download(url, checked, archive);
      } catch (const std::runtime_error&) {
        if (check.overflowed()) check.finish();  // the real reason the transfer stopped
        throw;
      }
      check.finish();
    } else {
      download(url, out, archive);
    }
    out.close();
    if (!out) throw std::runtime_error("writing " + utf8(archiveFile) + " failed");
  }
  extractArchive(archiveFile, destination, written);
  fs::remove(archiveFile);
}

}  // namespace velmora
