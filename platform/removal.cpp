#include "platform/removal.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/retry.h"

namespace platform {
namespace {

using std::chrono::milliseconds;

bool missing(const std::error_code& error) { return error == std::errc::no_such_file_or_directory; }

template <class Operation>
std::error_code retried(FileSystem& files, milliseconds bound, Operation operation,
                        const Waiting& waiting = {}) {
  milliseconds waited{0};
  return retryWhileBusy(
      operation, [&](const std::error_code& error) { return files.busy(error); },
      [&](milliseconds delay) {
        if (waiting) waiting(waited);
        files.sleep(delay);
        waited += delay;
      },
      bound);
}

[[noreturn]] void fail(FileSystem& files, const std::string& what, const std::error_code& error) {
  if (files.busy(error)) {
    throw std::runtime_error("cannot " + what +
                             ": another program is using it; close that program, or wait for a "
                             "virus scanner to finish, and try again");
  }
  std::string reason = error.message();
  while (!reason.empty() && (reason.back() == '.' || velmora::isAsciiSpace(reason.back())))
    reason.pop_back();
  throw std::runtime_error("cannot " + what + " (" + reason +
                           "); check that the folder can be written to and try again");
}

bool deleteEntry(FileSystem& files, const fs::path& path, const FileSystem::Entry& entry,
                 milliseconds bound) {
  bool whole = true;
  if (entry.folder && !entry.link) {
    std::vector<FileSystem::Entry> entries;
    const std::error_code ec = files.list(path, entries);
    if (ec) return missing(ec);
    for (const FileSystem::Entry& child : entries)
      whole = deleteEntry(files, path / child.name, child, bound) && whole;
  }
  // A folder whose entries all went but one still pending deletion stays
  // non-empty until that entry's last handle closes: removed later.
  const std::error_code ec = retried(files, bound, [&] { return files.remove(path, entry); });
  return whole && (!ec || missing(ec));
}

}  // namespace

fs::path tombstoneIn(const fs::path& graveyard, const fs::path& name) {
  fs::path tombstone = ".";
  tombstone += name;
  tombstone += "." + velmora::randomToken() + kTombstoneSuffix;
  return graveyard / tombstone;
}

bool deleteTree(FileSystem& files, const fs::path& path, milliseconds bound) {
  FileSystem::Entry entry;
  const std::error_code ec = files.status(path, entry);
  if (ec) return missing(ec);
  return deleteEntry(files, path, entry, bound);
}

Removal removeAside(FileSystem& files, const fs::path& path, const fs::path& graveyard,
                    milliseconds bound) {
  // Other errors (a name pending deletion refuses to be read) are the rename's to wait out.
  FileSystem::Entry entry;
  if (missing(files.status(path, entry))) return {};
  Removal removal;
  const fs::path tombstone = tombstoneIn(graveyard, path.filename());
  removal.refused = retried(files, bound, [&] { return files.rename(path, tombstone); });
  if (missing(removal.refused)) return {};
  if (!removal.refused) removal.left = !deleteTree(files, tombstone, bound);
  return removal;
}

void moveFolder(FileSystem& files, const fs::path& from, const fs::path& to,
                const fs::path& graveyard, milliseconds bound, const Waiting& waiting) {
  const Removal old = removeAside(files, to, graveyard, kBusyBound);
  if (old.refused) fail(files, "remove " + velmora::utf8(to), old.refused);
  const std::error_code ec = retried(
      files, bound, [&] { return files.rename(from, to); }, waiting);
  if (ec) fail(files, "move " + velmora::utf8(from) + " to " + velmora::utf8(to), ec);
}

void replaceFile(FileSystem& files, const fs::path& fresh, const fs::path& target,
                 const fs::path& graveyard) {
  // Starts side by side each put their copy in place: one that takes the name
  // between ours setting the old one aside and moving in is set aside in turn.
  for (int round = 0;; ++round) {
    const fs::path aside = graveyard.empty()
                               ? fs::path(target) += "." + velmora::randomToken() + kTombstoneSuffix
                               : tombstoneIn(graveyard, target.filename());
    std::error_code ec = retried(files, kBusyBound, [&] { return files.rename(target, aside); });
    const bool setAside = !ec;
    if (ec && !missing(ec)) fail(files, "replace " + velmora::utf8(target), ec);
    // A copy of a read-only download is read-only too, and would refuse to go later.
    files.makeWritable(fresh);
    ec = retried(files, kBusyBound, [&] { return files.rename(fresh, target); });
    if (!ec || (ec == std::errc::file_exists && round < 4)) {
      // A running or open copy stays for a later start.
      if (setAside) deleteTree(files, aside);
      if (!ec) return;
      continue;
    }
    // The registered command keeps working.
    if (setAside) files.rename(aside, target);
    fail(files, "replace " + velmora::utf8(target), ec);
  }
}

void replaceInOneStep(FileSystem& files, const fs::path& fresh, const fs::path& target,
                      const fs::path& graveyard, const std::function<void()>& recording) {
  files.makeWritable(fresh);
  if (!files.replace(fresh, target)) return;
  recording();
  replaceFile(files, fresh, target, graveyard);
}

bool finishReplacement(FileSystem& files, const fs::path& fresh, const fs::path& target) {
  FileSystem::Entry entry;
  return missing(files.status(target, entry)) && !files.status(fresh, entry) &&
         !retried(files, kBusyBound, [&] { return files.rename(fresh, target); });
}

void removeFile(const fs::path& file) {
  FileSystem& files = fileSystem();
  const FileSystem::Entry entry{file.filename()};
  const std::error_code ec = retried(files, kBusyBound, [&] { return files.remove(file, entry); });
  if (ec && !missing(ec)) fail(files, "remove " + velmora::utf8(file), ec);
}

void removeTree(const fs::path& path, const fs::path& graveyard) {
  FileSystem& files = fileSystem();
  const Removal removal =
      removeAside(files, path, graveyard.empty() ? path.parent_path() : graveyard, kBusyBound);
  if (removal.refused) fail(files, "remove " + velmora::utf8(path), removal.refused);
}

}  // namespace platform
