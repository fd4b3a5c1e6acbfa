#pragma once

// Every operating-system call the launcher makes. One implementation file per
// platform (windows.cpp, posix.cpp), chosen by the build.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

// Once, first thing in main: makes narrow text UTF-8 for the libraries too.
void initialise();

// The command line as UTF-8 arguments, program name first, no wildcard expansion.
std::vector<std::string> arguments(int argc, char** argv);

// Full path of the running executable. Throws std::runtime_error when the
// platform cannot tell it.
fs::path ownExecutablePath();

// A variable's value as UTF-8, or nothing when unset.
std::optional<std::string> environment(const char* name);
// A variable's value as a path, read in the platform's wide form where it has
// one; empty when unset or empty.
fs::path environmentPath(const char* name);

// Starts `application` with `commandLine` (Windows quoting, program token
// first) in `workingFolder`. Returns nothing when the process could not be
// created; else its exit code when `wait`, otherwise 0. `inheritHandles`
// passes the launcher's standard streams on, and nothing else. A child that
// is waited for ends when the launcher ends, however that happens.
std::optional<std::uint32_t> startProcess(const fs::path& application,
                                          const fs::path::string_type& commandLine,
                                          const fs::path& workingFolder, bool inheritHandles,
                                          bool wait);

// A box with an error's (or, not `error`, a notice's) icon; returns when it is
// closed, or at once where none can be shown.
void messageBox(const std::string& utf8Text, const std::string& utf8Title, bool error = true);

// Hands `url` to the user's browser without waiting; failures are silent.
void openInBrowser(const std::string& url);

bool stderrIsTerminal();
// While it lives, standard error's terminal takes escape sequences where it
// can (a Windows console must be asked, and gets its own mode back after).
class TerminalEscapes {
 public:
  TerminalEscapes();
  ~TerminalEscapes();
  TerminalEscapes(const TerminalEscapes&) = delete;
  TerminalEscapes& operator=(const TerminalEscapes&) = delete;

  bool enabled() const { return enabled_; }

 private:
  bool enabled_ = false;
  // The mode to give back, where one was changed (Windows only).
  [[maybe_unused]] bool changed_ = false;
  [[maybe_unused]] std::uint32_t previous_ = 0;
};

// Sets a string value under the current user's root key, creating missing
// keys, unless it already holds exactly that; `name` null means the key's
// default value. Failures are ignored.
void setRegistryString(const std::u16string& key, const std::u16string* name,
                       const std::u16string& data, std::uint32_t dataSize);

// The current user's Start-menu programs folder, or nothing.
std::optional<fs::path> programsFolder();

// ".lnk" on Windows; a desktop entry's ".desktop" elsewhere.
extern const char* const kShortcutExtension;

// Shortcut writing; holds what the platform needs for it (COM) for its lifetime.
class ShellLinks {
 public:
  ShellLinks();
  ~ShellLinks();
  ShellLinks(const ShellLinks&) = delete;
  ShellLinks& operator=(const ShellLinks&) = delete;

  // A shortcut that already says all of this is left as it is (saved).
  enum class Result { saved, skipped, saveFailed };
  Result write(const fs::path& file, const fs::path& target, const std::u16string& arguments,
               const std::u16string& description, const fs::path& icon);

 private:
  bool started_ = false;
};

// File operations on the install root; removal.h has the rest. Busy errors
// (retryWhileBusy) are waited out for a few seconds; failures throw
// std::runtime_error in the launcher's words, naming the path and what to do.

// Removes one file, read-only too; nothing when it is missing.
void removeFile(const fs::path& file);
// Frees the name `path`: renamed to a tombstone in `graveyard` (default: its own
// folder), then deleted there; what a program still holds stays in the
// tombstone for a later start. A link or junction is removed, never entered.
void removeTree(const fs::path& path, const fs::path& graveyard = {});
// The path with every link and junction on the way resolved; throws
// fs::filesystem_error when it does not exist.
fs::path realPath(const fs::path& path);
// Returns once what was written to `files`, and their names in their folders,
// would survive a power cut. Where the file system can be flushed as a whole
// (Linux) it is, at once: file by file costs a journal commit each.
void flushToDisk(const std::vector<fs::path>& files);
// Lets a new, empty `file` be written out of order without the volume first
// filling what lies below each write with zeros, where it would (NTFS); best
// effort, and nothing where holes are the rule (Linux) or none exist (FAT).
void preferSparse(const fs::path& file);
// Appends `bytes` to `file` (made when missing) in one write at its end
// (O_APPEND, FILE_APPEND_DATA), so the lines of processes side by side never
// mix; shared for deletion, so it never keeps a removal from going. False when
// it cannot be opened or written.
bool appendToFile(const fs::path& file, const std::string& bytes);
// This process's id.
unsigned long processId();
// The errors that retryWhileBusy waits out.
bool isBusyError(const std::error_code& error);
// Makes a folder outside the install root (the temporary folder) the working
// folder, so that the process does not hold the root while removing it.
void leaveWorkingFolder();

// An exclusive lock on a file, held by this process until destroyed (or until
// the process ends, however it ends). Not passed to started processes.
class FileLock {
 public:
  explicit FileLock(const fs::path& file);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool tryLock();
  void lock();  // blocks until held

 private:
  std::intptr_t handle_;
  bool held_ = false;
};

// The Apps list's entry and the uninstall.

// Sets a DWORD value under the current user's root key, like setRegistryString.
void setRegistryNumber(const std::u16string& key, const std::u16string& name, std::uint32_t data);
// A string value under the current user's root key (`name` null: the key's
// default value), or nothing when it is missing or not a string.
std::optional<std::u16string> registryString(const std::u16string& key, const std::u16string* name);
// Removes a key under the current user's root key with everything below it;
// nothing when it is missing. Failures are ignored.
void deleteRegistryKey(const std::u16string& key);

// Starts a copy of the running executable, made in the temporary folder, with
// `arguments` (plain words: letters, digits and '-') and, last, a word that
// names this process to the copy's waitForStarter; detached, without a window,
// its working folder the temporary folder. The copy's file is removed once it
// has exited. Throws when it cannot be started.
void startTemporaryCopy(const std::vector<std::string>& arguments);
// In that copy: returns once the process that started it has exited, or after
// `bound`. Throws std::invalid_argument when `word` is not one that
// startTemporaryCopy passes.
void waitForStarter(const std::string& word, std::chrono::milliseconds bound);

// The proxy settings the user's system applies to `url`, as WinHTTP resolves
// them (a fixed proxy with its bypass list, an automatic-configuration
// script, automatic detection): `proxies` in WinHTTP's list form, empty for a
// direct connection. Nothing where the system keeps no such settings; then
// libcurl's environment conventions (https_proxy, no_proxy) apply.
struct SystemProxy {
  std::string proxies, bypass;
};
std::optional<SystemProxy> systemProxy(const std::string& url);

// Bytes the user may still write on the volume that holds `path` (the nearest
// existing folder above it), and a name for that volume as the user knows it
// ("C:\\", a mount point). Nothing when the system cannot tell.
struct FreeSpace {
  std::uint64_t bytes;
  std::string volume;
};
std::optional<FreeSpace> freeSpace(const fs::path& path);

// What the file system says of a file: enough to tell later that nobody has
// written or replaced it since, and nothing that a further hard link to it, or
// the removal of one, changes (so not the link count, nor the POSIX change
// time that both touch). The volume and the file's number on it (with the
// sequence that NTFS bumps when it reuses one), its size, its last-write time
// and its creation time: a file restored under the same name with the old
// times is still a new file, born now.
struct FileIdentity {
  std::uint64_t volume = 0, idHigh = 0, idLow = 0, size = 0;
  // In the platform's own units; `born` is 0 where the file system keeps none.
  std::int64_t written = 0, born = 0;
  bool operator==(const FileIdentity& o) const {
    return volume == o.volume && idHigh == o.idHigh && idLow == o.idLow && size == o.size &&
           written == o.written && born == o.born;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};
// The identity of the regular file at `path` itself, never through a link;
// nothing for anything else, or where the system cannot tell.
std::optional<FileIdentity> fileIdentity(const fs::path& path);

// Whether the file at `path` has the mode an install gives a file listed as
// `executable` (or not): a name shared with it takes its mode. Windows keeps
// no such mode, so there any file has it.
bool hasListedMode(const fs::path& path, bool executable);

}  // namespace platform
