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

// An error box; returns when it is closed, or at once where none can be shown.
void messageBox(const std::string& utf8Text, const std::string& utf8Title);

// Hands `url` to the user's browser without waiting; failures are silent.
void openInBrowser(const std::string& url);

bool stderrIsTerminal();
// Makes standard error's terminal take escape sequences (a Windows console
// needs to be asked); false where it cannot.
bool enableTerminalEscapes();

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

// File operations on the install root. Each retries, for a few seconds, errors
// that a scanner or indexer holding a file for a moment causes (retryWhileBusy),
// and throws fs::filesystem_error when it still fails.

// Renames `from` to `to`, replacing a file `to`.
void movePath(const fs::path& from, const fs::path& to);
// Removes one file; nothing when it is missing.
void removeFile(const fs::path& file);
// Removes `path` and everything below it. A symbolic link or junction is removed
// itself and never entered; read-only files go too; paths of any length.
// Nothing when `path` is missing.
void removeTree(const fs::path& path);
// True when a file at or below `path` is held open or mapped by a program so
// that it cannot be removed now. Never true where open files can be removed.
bool inUse(const fs::path& path);
// The path with every link and junction on the way resolved; throws
// fs::filesystem_error when it does not exist.
fs::path realPath(const fs::path& path);
// True when `path` itself is a symbolic link or a junction (any reparse point
// on Windows); false when it is missing.
bool isLink(const fs::path& path);
// Returns once what was written to `files`, and their names in their folders,
// would survive a power cut. Where the file system can be flushed as a whole
// (Linux) it is, at once: file by file costs a journal commit each. Throws
// fs::filesystem_error.
void flushToDisk(const std::vector<fs::path>& files);
// The errors that retryWhileBusy waits out.
bool isBusyError(const std::error_code& error);

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

std::uint32_t processId();
// Returns once the process has exited (at once when there is none), or after `bound`.
void waitForExit(std::uint32_t processId, std::chrono::milliseconds bound);
// Starts a copy of the running executable, made in the temporary folder, with
// `arguments` (plain words: letters, digits and '-'), detached and without a
// window; the copy's file is removed once it has exited. Throws when it cannot
// be started.
void startTemporaryCopy(const std::vector<std::string>& arguments);

// The proxy settings the user's system applies to `url`, as WinHTTP resolves
// them (a fixed proxy with its bypass list, an automatic-configuration
// script, automatic detection): `proxies` in WinHTTP's list form, empty for a
// direct connection. Nothing where the system keeps no such settings; then
// libcurl's environment conventions (https_proxy, no_proxy) apply.
struct SystemProxy {
  std::string proxies, bypass;
};
std::optional<SystemProxy> systemProxy(const std::string& url);

}  // namespace platform
