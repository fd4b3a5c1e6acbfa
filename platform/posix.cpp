// The natural POSIX equivalents of the Windows operations, so that every step
// of a start builds and runs on a development machine.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/split_command_line.h"
#include "base/text.h"
#include "platform/file_system.h"
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

// Like spawn, but the child is killed when the launcher dies, as a job object
// does on Windows. Only async-signal-safe calls between fork and exec.
pid_t spawnBound(const fs::path& application, const std::vector<std::string>& args,
                 const fs::path& workingFolder) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(report[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have died before the line above took effect.
    if (getppid() != parent) _exit(127);
    int error = 0;
    if (chdir(workingFolder.c_str()) != 0)
      error = errno;
    else
      execve(application.c_str(), argv.data(), environ), error = errno;
    ssize_t written = ::write(report[1], &error, sizeof error);
    (void)written;
    _exit(127);
  }
  ::close(report[1]);
  if (pid < 0) {
    ::close(report[0]);
    return -1;
  }
  // Nothing arrives when exec succeeded: the pipe closes with it.
  int error = 0;
  ssize_t got;
  while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (got > 0) {
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);  // as a shell reports a signal
}

fs::path homeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return home;
  // A session without HOME (a service, `env -i`) still belongs to a user.
  const passwd* user = getpwuid(getuid());
  if (user && user->pw_dir && *user->pw_dir == '/') return user->pw_dir;
  throw std::runtime_error("cannot find the user's home folder");
}

// A relative value is ignored, as the base-directory rules say: it would put
// files wherever the launcher happened to be started.
fs::path xdgFolder(const char* variable, const char* fallbackBelowHome) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return value;
  return homeFolder() / fallbackBelowHome;
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

// Values are kept as exported ("text" quoted, dword:0000002a); "@" names the default.
using RegistryKeys = std::map<std::string, std::map<std::string, std::string>>;

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
      if (end < line.size() && line[end] == '=') keys[key][name] = line.substr(end + 1);
    }
  }
  return keys;
}

// Each change reads and rewrites the whole store: starts side by side take
// turns, or a value one of them set is lost.
class StoreLock {
 public:
  explicit StoreLock(const fs::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  int fd_;
};

void writeRegistry(const fs::path& file, const RegistryKeys& keys) {
  // One temporary per process: starts side by side must not write into each other's.
  const fs::path temporary = fs::path(file) += "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\n";
    for (const auto& [key, values] : keys) {
      out << "\n[" << key << "]\n";
      for (const auto& [name, data] : values) {
        out << (name == "@" ? "@" : regQuote(name)) << "=" << data << "\n";
      }
    }
    if (!out.flush()) return;
  }
  std::error_code ignored;
  fs::rename(temporary, file, ignored);
}

// Exec-key quoting of the desktop entry format, inside a string value. A '%'
// is doubled even inside quotes, or it would start a field code.
std::string desktopExecWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
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

std::error_code lastError() { return {errno, std::generic_category()}; }

class PosixFileSystem : public FileSystem {
 public:
  std::error_code status(const fs::path& path, Entry& entry) override {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return lastError();
    entry = {path.filename(), S_ISDIR(info.st_mode), S_ISLNK(info.st_mode),
             (info.st_mode & S_IWUSR) == 0};
    return {};
  }

  std::error_code list(const fs::path& folder, std::vector<Entry>& entries) override {
    // A folder without write or search permission for us could not be emptied.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
      ::chmod(folder.c_str(), info.st_mode | S_IRWXU);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::file_status kind = it->symlink_status(ec);
      if (ec) return ec;
      entries.push_back({it->path().filename(), fs::is_directory(kind), fs::is_symlink(kind),
                         (kind.permissions() & fs::perms::owner_write) == fs::perms::none});
    }
    return ec;
  }

  std::error_code rename(const fs::path& from, const fs::path& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS) return lastError();
    // A file system without the flag: only a narrow race is left open.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) return std::make_error_code(std::errc::file_exists);
    return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : lastError();
  }

  std::error_code replace(const fs::path& from, const fs::path& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : lastError();
  }

  // Permissions belong to the file, and no name needs them to go.
  std::error_code remove(const fs::path& path, const Entry& entry) override {
    const int result = entry.folder && !entry.link ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
    if (result == 0) return {};
    return errno == EEXIST ? std::make_error_code(std::errc::directory_not_empty) : lastError();
  }

  std::error_code makeWritable(const fs::path& file) override {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) return lastError();
    if (info.st_mode & S_IWUSR) return {};
    return ::chmod(file.c_str(), info.st_mode | S_IWUSR) == 0 ? std::error_code() : lastError();
  }

  bool busy(const std::error_code& error) const override { return isBusyError(error); }

  void sleep(std::chrono::milliseconds delay) override { std::this_thread::sleep_for(delay); }
};

fs::path temporaryFolder() {
  const char* temporary = std::getenv("TMPDIR");
  return temporary && *temporary == '/' ? temporary : "/tmp";
}

}  // namespace

FileSystem& fileSystem() {
  static PosixFileSystem files;
  return files;
}

fs::path realPath(const fs::path& path) { return fs::canonical(path); }

void flushToDisk(const std::vector<fs::path>& files) {
  if (files.empty()) return;
  // One file system holds them all.
  const fs::path& any = files.front();
  const int fd = ::open(any.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  const int error = fd < 0 ? errno : ::syncfs(fd) == 0 ? 0 : errno;
  if (fd >= 0) ::close(fd);
  if (error) {
    throw std::runtime_error("cannot write " + velmora::utf8(any) + " to disk (" +
                             std::strerror(error) + ")");
  }
}

void preferSparse(const fs::path&) {}

bool isBusyError(const std::error_code& error) {
  return error == std::errc::device_or_resource_busy || error == std::errc::text_file_busy;
}

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
  const pid_t pid = wait ? spawnBound(application, args, workingFolder)
                         : spawn(application, args, &workingFolder);
  if (pid < 0) return std::nullopt;
  if (!wait) return 0u;
  // Ctrl+C is the child's to handle; the launcher stays to pass its status on.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &previous);
  const int status = waitFor(pid);
  sigaction(SIGINT, &previous, nullptr);
  return static_cast<std::uint32_t>(status);
}

void messageBox(const std::string& utf8Text, const std::string& utf8Title, bool error) {
  // Only with a display: a run without one (a terminal, a test) must never block.
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!((x11 && *x11) || (wayland && *wayland))) return;
  const auto dialog = findOnPath("zenity");
  if (!dialog) return;
  const pid_t pid = spawn(*dialog,
                          {"zenity", error ? "--error" : "--info", "--title=" + utf8Title,
                           "--text=" + utf8Text, "--no-markup"},
                          nullptr);
  if (pid > 0) waitFor(pid);
}

void openInBrowser(const std::string& url) {
  const auto opener = findOnPath("xdg-open");
  if (opener) spawn(*opener, {"xdg-open", url}, nullptr);
}

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

TerminalEscapes::TerminalEscapes() : enabled_(true) {}
TerminalEscapes::~TerminalEscapes() = default;

namespace {

fs::path registryFile() {
  return xdgFolder("XDG_CONFIG_HOME", ".config") / "velmora" / "registry.reg";
}

std::string sectionName(const std::u16string& key) { return "HKEY_CURRENT_USER\\" + utf8(key); }

// `written` as it stands in the file: a quoted string or "dword:...". The file
// is rewritten only when the value differs.
void storeRegistryValue(const std::u16string& key, const std::string& name,
                        const std::string& written) {
  const fs::path file = registryFile();
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec) return;
  const StoreLock lock(file.parent_path());
  RegistryKeys keys = readRegistry(file);
  const auto [value, added] = keys[sectionName(key)].emplace(name, written);
  if (!added && value->second == written) return;
  value->second = written;
  writeRegistry(file, keys);
}

}  // namespace

void setRegistryString(const std::u16string& key, const std::u16string* name,
                       const std::u16string& data, std::uint32_t /*dataSize*/) {
  storeRegistryValue(key, name ? utf8(*name) : "@", regQuote(utf8(data)));
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
  std::ostringstream text;
  text << "[Desktop Entry]\nType=Application\n"
       << "Name=" << desktopValue(utf8(description)) << "\n"
       << "Comment=" << desktopValue(utf8(description)) << "\n"
       << "Exec=" << exec << "\n"
       << "Icon=" << desktopValue(icon.u8string()) << "\n"
       << "Terminal=true\n";
  std::ifstream existing(file);
  std::stringstream present;
  present << existing.rdbuf();
  if (existing && present.str() == text.str()) return Result::saved;
  existing.close();
  std::ofstream out(file, std::ios::trunc);
  out << text.str();
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

void setRegistryNumber(const std::u16string& key, const std::u16string& name, std::uint32_t data) {
  char text[16];
  std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(data));
  storeRegistryValue(key, utf8(name), text);
}

std::optional<std::u16string> registryString(const std::u16string& key,
                                             const std::u16string* name) {
  const RegistryKeys keys = readRegistry(registryFile());
  const auto section = keys.find(sectionName(key));
  if (section == keys.end()) return std::nullopt;
  const auto value = section->second.find(name ? utf8(*name) : "@");
  if (value == section->second.end() || value->second.rfind('"', 0) != 0) return std::nullopt;
  return fs::u8path(regUnquote(value->second)).u16string();
}

void deleteRegistryKey(const std::u16string& key) {
  const fs::path file = registryFile();
  const StoreLock lock(file.parent_path());
  RegistryKeys keys = readRegistry(file);
  const std::string section = sectionName(key);
  bool found = false;
  for (auto it = keys.begin(); it != keys.end();) {
    const bool below = it->first == section || it->first.rfind(section + "\\", 0) == 0;
    found = found || below;
    it = below ? keys.erase(it) : std::next(it);
  }
  if (!found) return;
  // Nothing registered any more: the file and its folder go too.
  std::error_code ignored;
  if (!keys.empty()) {
    writeRegistry(file, keys);
  } else if (fs::remove(file, ignored)) {
    fs::remove(file.parent_path(), ignored);
  }
}

void leaveWorkingFolder() {
  // Nowhere left to go is no reason to keep the root: "/" always exists.
  if (::chdir(temporaryFolder().c_str()) != 0 && ::chdir("/") != 0) return;
}

void waitForStarter(const std::string& word, std::chrono::milliseconds bound) {
  // A process id: an open or running file can be removed here, so no copy is
  // ever started to wait for one.
  bool valid = !word.empty() && word.size() <= 9;
  for (unsigned char c : word) valid = valid && velmora::isAsciiDigit(c);
  if (!valid) throw std::invalid_argument("not a process id: " + word);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const std::string stat = "/proc/" + word + "/stat";
  while (std::chrono::steady_clock::now() < deadline) {
    // An exited process that its parent has not reaped yet is gone for us too.
    std::ifstream in(stat);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto state = text.rfind(") ");
    if (!in || state == std::string::npos || text[state + 2] == 'Z') return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void startTemporaryCopy(const std::vector<std::string>& arguments) {
  const fs::path folder = temporaryFolder();
  const fs::path copy = folder / ("velmora-uninstall-" + velmora::randomToken());
  fs::copy_file(ownExecutablePath(), copy);
  std::vector<std::string> args = {"sh", "-c", "\"$0\" \"$@\"; rm -f -- \"$0\"", copy.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  args.push_back(std::to_string(getpid()));
  if (spawn("/bin/sh", args, &folder) < 0) {
    std::error_code ignored;
    fs::remove(copy, ignored);
    throw std::runtime_error("cannot start " + copy.string());
  }
}

std::optional<SystemProxy> systemProxy(const std::string&) { return std::nullopt; }

bool appendToFile(const fs::path& file, const std::string& bytes) {
  const int fd = ::open(file.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  const ssize_t written = ::write(fd, bytes.data(), bytes.size());
  ::close(fd);
  return written == static_cast<ssize_t>(bytes.size());
}

unsigned long processId() { return static_cast<unsigned long>(getpid()); }

std::optional<FileIdentity> fileIdentity(const fs::path& path) {
  struct statx info {};
  constexpr unsigned wanted = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, wanted | STATX_BTIME, &info) != 0 ||
      (info.stx_mask & wanted) != wanted || !S_ISREG(info.stx_mode))
    return std::nullopt;
  const auto ns = [](const struct statx_timestamp& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  };
  FileIdentity identity;
  identity.volume = makedev(info.stx_dev_major, info.stx_dev_minor);
  identity.idLow = info.stx_ino;
  identity.size = info.stx_size;
  identity.written = ns(info.stx_mtime);
  if (info.stx_mask & STATX_BTIME) identity.born = ns(info.stx_btime);
  return identity;
}

bool hasListedMode(const fs::path& path, bool executable) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && ((info.st_mode & S_IXUSR) != 0) == executable;
}

std::optional<FreeSpace> freeSpace(const fs::path& path) {
  fs::path at = path;
  struct stat info {};
  while (::stat(at.c_str(), &info) != 0) {
    if (!at.has_relative_path()) return std::nullopt;
    at = at.parent_path();
  }
  struct statvfs volume {};
  if (::statvfs(at.c_str(), &volume) != 0) return std::nullopt;
  // The mount point: the highest folder above on the same device.
  fs::path top = at;
  for (fs::path up = at.parent_path(); top.has_relative_path(); up = up.parent_path()) {
    struct stat above {};
    if (::stat(up.c_str(), &above) != 0 || above.st_dev != info.st_dev) break;
    top = up;
  }
  return FreeSpace{static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize, top.string()};
}

}  // namespace platform
