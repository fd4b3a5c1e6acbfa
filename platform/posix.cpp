// The natural POSIX equivalents of the Windows operations, so that every step
// of a start builds and runs on a development machine.

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "launcher/command_line.h"
#include "platform/platform.h"

extern char** environ;

namespace platform {
namespace {

std::optional<fs::path> findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const fs::path candidate = fs::path(folder) / program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

// posix_spawn with argv, optionally in a folder; returns the pid or -1.
pid_t spawn(const fs::path& application, const std::vector<std::string>& args,
            const fs::path* workingFolder) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (workingFolder) posix_spawn_file_actions_addchdir_np(&actions, workingFolder->c_str());
  pid_t pid = -1;
  const int error = posix_spawn(&pid, application.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);  // as a shell reports a signal
}

fs::path xdgFolder(const char* variable, const char* fallbackBelowHome) {
  const char* value = std::getenv(variable);
  if (value && *value) return value;
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "") / fallbackBelowHome;
}

// The registry store: a per-user file in the Windows registry export format,
// so that a person can read what would be registered.
std::string utf8(const std::u16string& text) { return fs::path(text).u8string(); }

std::string regQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string regUnquote(const std::string& text) {
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

using RegistryKeys = std::map<std::string, std::map<std::string, std::string>>;  // "@" = default

RegistryKeys readRegistry(const fs::path& file) {
  RegistryKeys keys;
  std::ifstream in(file);
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      key = line.substr(1, line.size() - 2);
    } else if (!key.empty() && (line.rfind("@=", 0) == 0 || line.rfind("\"", 0) == 0)) {
      // The name ends at the first '=' that follows an unescaped closing quote.
      std::size_t end = 1;
      if (line[0] == '"') {
        for (end = 1; end < line.size() && line[end] != '"'; ++end) {
          if (line[end] == '\\') ++end;
        }
        ++end;
      }
      const std::string name = line[0] == '@' ? "@" : regUnquote(line.substr(0, end));
      if (end < line.size() && line[end] == '=') keys[key][name] = regUnquote(line.substr(end + 1));
    }
  }
  return keys;
}

void writeRegistry(const fs::path& file, const RegistryKeys& keys) {
  // One temporary per process: starts side by side must not write into each other's.
  const fs::path temporary = fs::path(file) += "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\n";
    for (const auto& [key, values] : keys) {
      out << "\n[" << key << "]\n";
      for (const auto& [name, data] : values) {
        out << (name == "@" ? "@" : regQuote(name)) << "=" << regQuote(data) << "\n";
      }
    }
    if (!out.flush()) return;
  }
  std::error_code ignored;
  fs::rename(temporary, file, ignored);
}

// Exec-key quoting of the desktop entry format, inside a string value.
std::string desktopExecWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  out += "\"";
  std::string escaped;  // string values escape backslashes once more
  for (char c : out) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return escaped;
}

std::string desktopValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

}  // namespace

void initialise() {
  // Entry names and paths are UTF-8; the archive library converts through the C locale.
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
}

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

fs::path ownExecutablePath() {
  std::error_code ec;
  const fs::path own = fs::read_symlink("/proc/self/exe", ec);
  if (ec || own.empty())
    throw std::runtime_error("cannot find the launcher's own path: " + ec.message());
  return own;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

fs::path environmentPath(const char* name) {
  const char* value = std::getenv(name);
  return value ? fs::path(value) : fs::path();
}

std::optional<std::uint32_t> startProcess(const fs::path& application,
                                          const fs::path::string_type& commandLine,
                                          const fs::path& workingFolder, bool /*inheritHandles*/,
                                          bool wait) {
  // Split by the Windows rules, so the child gets what a Windows child would.
  std::vector<std::string> args = velmora::splitCommandLine(commandLine);
  const pid_t pid = spawn(application, args, &workingFolder);
  if (pid < 0) return std::nullopt;
  return wait ? static_cast<std::uint32_t>(waitFor(pid)) : 0u;
}

void messageBox(const std::string& utf8Text, const std::string& utf8Title) {
  // Only with a display: a run without one (a terminal, a test) must never block.
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!((x11 && *x11) || (wayland && *wayland))) return;
  const auto dialog = findOnPath("zenity");
  if (!dialog) return;
  const pid_t pid = spawn(
      *dialog, {"zenity", "--error", "--title=" + utf8Title, "--text=" + utf8Text, "--no-markup"},
      nullptr);
  if (pid > 0) waitFor(pid);
}

void openInBrowser(const std::string& url) {
  const auto opener = findOnPath("xdg-open");
  if (opener) spawn(*opener, {"xdg-open", url}, nullptr);
}

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void setRegistryString(const std::u16string& key, const std::u16string* name,
                       const std::u16string& data, std::uint32_t /*dataSize*/) {
  const fs::path folder = xdgFolder("XDG_CONFIG_HOME", ".config") / "velmora";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return;
  const fs::path file = folder / "registry.reg";
  RegistryKeys keys = readRegistry(file);
  keys["HKEY_CURRENT_USER\\" + utf8(key)][name ? utf8(*name) : "@"] = utf8(data);
  writeRegistry(file, keys);
}

std::optional<fs::path> programsFolder() {
  const fs::path folder = xdgFolder("XDG_DATA_HOME", ".local/share") / "applications";
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return std::nullopt;
  return folder;
}

const char* const kShortcutExtension = ".desktop";

ShellLinks::ShellLinks() = default;
ShellLinks::~ShellLinks() = default;

ShellLinks::Result ShellLinks::write(const fs::path& file, const fs::path& target,
                                     const std::u16string& arguments,
                                     const std::u16string& description, const fs::path& icon) {
  std::string exec = desktopExecWord(target.u8string());
  if (!arguments.empty()) exec += " " + desktopExecWord(utf8(arguments));
  std::ofstream out(file, std::ios::trunc);
  out << "[Desktop Entry]\nType=Application\n"
      << "Name=" << desktopValue(utf8(description)) << "\n"
      << "Comment=" << desktopValue(utf8(description)) << "\n"
      << "Exec=" << exec << "\n"
      << "Icon=" << desktopValue(icon.u8string()) << "\n"
      << "Terminal=true\n";
  out.close();
  return out ? Result::saved : Result::saveFailed;
}

FileLock::FileLock(const fs::path& file)
    : handle_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
  if (handle_ < 0) {
    throw fs::filesystem_error("cannot open lock file", file,
                               std::error_code(errno, std::generic_category()));
  }
}

FileLock::~FileLock() { ::close(static_cast<int>(handle_)); }

bool FileLock::tryLock() {
  held_ = ::flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0;
  return held_;
}

void FileLock::lock() {
  while (::flock(static_cast<int>(handle_), LOCK_EX) != 0) {
    if (errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "cannot lock the install root");
  }
  held_ = true;
}

std::optional<SystemProxy> systemProxy(const std::string&) { return std::nullopt; }

}  // namespace platform
