#pragma once

// The few file calls that removing and replacing are built from. The algorithms
// on top (removal.h) are portable, so they run on every platform and against a
// fake that answers as Microsoft documents NTFS; windows.cpp and posix.cpp each
// implement this with real calls.

#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

// Every call answers errc::no_such_file_or_directory for a missing path,
// errc::directory_not_empty for a folder that still holds entries and
// errc::file_exists for a rename onto an existing name; other errors as the
// system gives them.
class FileSystem {
 public:
  struct Entry {
    fs::path name;
    bool folder = false;  // entered by a walk unless it is also a link
    bool link = false;    // a symbolic link or junction: removed itself, never followed
    bool readOnly = false;
  };

  virtual ~FileSystem() = default;

  // What `path` itself is.
  virtual std::error_code status(const fs::path& path, Entry& entry) = 0;
  // The entries of `folder` as its listing describes them: an entry pending
  // deletion refuses to be opened, so nothing is asked of it again.
  virtual std::error_code list(const fs::path& folder, std::vector<Entry>& entries) = 0;
  // Never replaces an existing `to` (folders cannot be replaced at all).
  virtual std::error_code rename(const fs::path& from, const fs::path& to) = 0;
  // Renames the file `from` over the file `to` in one step. Windows refuses
  // while `to` runs, is open or is read-only.
  virtual std::error_code replace(const fs::path& from, const fs::path& to) = 0;
  // Deletes a file, a link or an empty folder, read-only too, without changing
  // the attribute for the other names (hard links) of the same file. While
  // other programs hold it open with delete sharing, the name may stay until
  // they close it.
  virtual std::error_code remove(const fs::path& path, const Entry& entry) = 0;
  // Clears read-only on a file that no other name shares.
  virtual std::error_code makeWritable(const fs::path& file) = 0;
  // Errors that pass once a scanner, an indexer or a program lets go.
  virtual bool busy(const std::error_code& error) const = 0;
  virtual void sleep(std::chrono::milliseconds delay) = 0;
};

// The machine's own file system.
FileSystem& fileSystem();

}  // namespace platform
