#pragma once

// Every operating-system call the launcher makes. One implementation file per
// platform (windows.cpp, posix.cpp), chosen by the build.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
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
// passes the launcher's inheritable handles on.
std::optional<std::uint32_t> startProcess(const fs::path& application,
                                          const fs::path::string_type& commandLine,
                                          const fs::path& workingFolder, bool inheritHandles,
                                          bool wait);

// An error box; returns when it is closed, or at once where none can be shown.
void messageBox(const std::string& utf8Text, const std::string& utf8Title);

// Hands `url` to the user's browser without waiting; failures are silent.
void openInBrowser(const std::string& url);

bool stderrIsTerminal();

// Sets a string value under the current user's root key, creating missing
// keys; `name` null means the key's default value. Failures are ignored.
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

  enum class Result { saved, skipped, saveFailed };
  Result write(const fs::path& file, const fs::path& target, const std::u16string& arguments,
               const std::u16string& description, const fs::path& icon);

 private:
  bool started_ = false;
};

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
