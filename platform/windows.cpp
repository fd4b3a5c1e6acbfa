// The Win32 side of the platform layer.

#ifndef UNICODE
#define UNICODE
#endif
// windows.h must come before the other system headers.
#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <objidl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <system_error>
#include <thread>
#include <type_traits>

#include "base/text.h"
#include "platform/console_text.h"
#include "platform/file_system.h"
#include "platform/platform.h"

// The runtime must not expand wildcards in arguments: a link is taken as written.
extern "C" {
int _dowildcard = 0;
}

namespace platform {
namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
  return text;
}

std::string narrow(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
  out.pop_back();  // the terminating zero
  return out;
}

const wchar_t* wideOf(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};
struct TaskMemFreer {
  void operator()(void* p) const { CoTaskMemFree(p); }
};

// A COM interface pointer released on every path.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  void** out() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

std::error_code lastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

struct FindCloser {
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// The \\?\ form reaches paths beyond MAX_PATH, so whatever extraction created
// can be removed; it is taken literally, hence normalised first.
std::wstring longPath(const fs::path& path) {
  std::wstring text = fs::absolute(path).lexically_normal().wstring();
  std::replace(text.begin(), text.end(), L'/', L'\\');
  if (text.rfind(LR"(\\?\)", 0) == 0) return text;
  if (text.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + text.substr(2);
  return LR"(\\?\)" + text;
}

void throwIf(const std::error_code& ec, const char* what, const fs::path& path) {
  if (ec) throw fs::filesystem_error(what, path, ec);
}

// The last error, with the conditions FileSystem promises in portable form.
std::error_code fileError() {
  switch (const DWORD error = GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_DIR_NOT_EMPTY:
      return std::make_error_code(std::errc::directory_not_empty);
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return std::make_error_code(std::errc::file_exists);
    default:
      return {static_cast<int>(error), std::system_category()};
  }
}

FileSystem::Entry entryOf(const wchar_t* name, DWORD attributes) {
  return {fs::path(name), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
          (attributes & FILE_ATTRIBUTE_READONLY) != 0};
}

// From the Windows 10 SDK, which older headers lack; older systems refuse them.
const auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispose = 0x1, kPosixSemantics = 0x2, kIgnoreReadOnly = 0x10;

bool unsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION;
}

bool setAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times left at zero stay as they are
  basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// POSIX semantics free the name at once, even while other programs still hold
// the file; without them the name stays, pending, until the last handle closes.
bool disposeEx(HANDLE handle, DWORD flags) {
  flags |= kDispose | kPosixSemantics;
  return SetFileInformationByHandle(handle, kDispositionInfoEx, &flags, sizeof flags) != 0;
}

bool dispose(HANDLE handle) {
  if (disposeEx(handle, 0)) return true;
  if (!unsupported(GetLastError())) return false;
  FILE_DISPOSITION_INFO plain{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain) != 0;
}

// Through a handle, so read-only is never cleared for the other names of a
// file: the attribute belongs to the file, not to the name.
std::error_code deleteName(const std::wstring& path) {
  const Handle handle(
      CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) return fileError();
  if (disposeEx(handle.get(), kIgnoreReadOnly)) return {};
  if (!unsupported(GetLastError())) return fileError();
  // Systems before the flag: the attribute comes off, and back on for the other names.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) return fileError();
  const DWORD attributes = info.dwFileAttributes;
  if (!(attributes & FILE_ATTRIBUTE_READONLY))
    return dispose(handle.get()) ? std::error_code() : fileError();
  if (!setAttributes(handle.get(), attributes & ~FILE_ATTRIBUTE_READONLY)) return fileError();
  const bool disposed = dispose(handle.get());
  const std::error_code ec = disposed ? std::error_code() : fileError();
  if (!disposed || info.nNumberOfLinks > 1) setAttributes(handle.get(), attributes);
  return ec;
}

class WindowsFileSystem : public FileSystem {
 public:
  std::error_code status(const fs::path& path, Entry& entry) override {
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fileError();
    entry = entryOf(path.filename().c_str(), attributes);
    return {};
  }

  std::error_code list(const fs::path& folder, std::vector<Entry>& entries) override {
    WIN32_FIND_DATAW found;
    const FindHandle find(FindFirstFileExW((longPath(folder) + L"\\*").c_str(), FindExInfoBasic,
                                           &found, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) return fileError();
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..")
        entries.push_back(entryOf(name.c_str(), found.dwFileAttributes));
    } while (FindNextFileW(find.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? std::error_code() : fileError();
  }

  std::error_code rename(const fs::path& from, const fs::path& to) override {
    return MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), 0) ? std::error_code()
                                                                        : fileError();
  }

  std::error_code replace(const fs::path& from, const fs::path& to) override {
    return MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), MOVEFILE_REPLACE_EXISTING)
               ? std::error_code()
               : fileError();
  }

  std::error_code remove(const fs::path& path, const Entry&) override {
    return deleteName(longPath(path));
  }

  std::error_code makeWritable(const fs::path& file) override {
    const std::wstring path = longPath(file);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fileError();
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return {};
    const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(path.c_str(), writable ? writable : FILE_ATTRIBUTE_NORMAL)
               ? std::error_code()
               : fileError();
  }

  bool busy(const std::error_code& error) const override { return isBusyError(error); }

  void sleep(std::chrono::milliseconds delay) override { std::this_thread::sleep_for(delay); }
};

}  // namespace

FileSystem& fileSystem() {
  static WindowsFileSystem files;
  return files;
}

fs::path realPath(const fs::path& path) {
  // The C++ library's canonical() does not resolve links and junctions here.
  Handle file(CreateFileW(longPath(path).c_str(), 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) throwIf(lastError(), "cannot resolve", path);
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFinalPathNameByHandleW(
        file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (length == 0) throwIf(lastError(), "cannot resolve", path);
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(length);
  }
  // Short enough for every API: drop the \\?\ prefix the call always adds.
  if (buffer.size() < MAX_PATH && buffer.rfind(LR"(\\?\UNC\)", 0) == 0)
    return fs::path(LR"(\\)" + buffer.substr(8));
  if (buffer.size() < MAX_PATH && buffer.rfind(LR"(\\?\)", 0) == 0)
    return fs::path(buffer.substr(4));
  return fs::path(buffer);
}

void flushToDisk(const std::vector<fs::path>& files) {
  // A user may not flush a volume, so each file goes on its own. NTFS logs every change of names
  // in order, so folders need no flush: none can outlast a later rename that a power cut kept.
  for (const fs::path& path : files) {
    // Cannot be opened for writing, and never one this start wrote: unpacked files stay
    // writable, and a carried one kept read-only is a complete version's, on disk already.
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) continue;
    Handle file(CreateFileW(longPath(path).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE || !FlushFileBuffers(file.get())) {
      throw std::runtime_error("cannot write " + velmora::utf8(path) + " to disk (" +
                               lastError().message() + ")");
    }
  }
}

void preferSparse(const fs::path& file) {
  Handle handle(CreateFileW(longPath(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
  DWORD returned = 0;
  // Pieces then write where they land; a volume that refuses only costs the zeros.
  if (handle.get() != INVALID_HANDLE_VALUE)
    DeviceIoControl(handle.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
}

bool isBusyError(const std::error_code& error) {
  if (error.category() != std::system_category()) return false;
  const int code = error.value();
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
         code == ERROR_LOCK_VIOLATION;
}

namespace {

// Text for a console goes as UTF-16: the console's code page stays what it is
// whatever the manifest says, and a user name or a system message outside it
// would come out garbled. Redirected output stays UTF-8 bytes.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {
    setp(buffer_, buffer_ + sizeof buffer_);
  }

 protected:
  int overflow(int c) override {
    if (flush() != 0) return traits_type::eof();
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    *pptr() = static_cast<char>(c);
    pbump(1);
    return c;
  }
  int sync() override { return flush(); }

 private:
  int flush() {
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    const std::size_t complete = completeUtf8Length(pbase(), size);
    const std::wstring text = wide(std::string(pbase(), complete));
    DWORD written = 0;
    const bool ok =
        text.empty() ||
        WriteConsoleW(console_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    std::memmove(buffer_, buffer_ + complete, size - complete);
    setp(buffer_, buffer_ + sizeof buffer_);
    pbump(static_cast<int>(size - complete));
    return ok ? 0 : -1;
  }

  HANDLE console_;
  char buffer_[1024];
};

void writeToConsoleAsUtf16(std::ostream& stream, DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return;
  // Never freed: the standard streams are flushed after every static object
  // is gone, and a destroyed buffer there crashes the exit.
  stream.rdbuf(new ConsoleBuffer(handle));
}

}  // namespace

void initialise() {
  // DLLs that are loaded later (the delay-loaded imports, those the shell and
  // COM load) come from the system folder only, never from the folder the
  // launcher was downloaded to or started in.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
  // The delay-loaded imports (and the system DLLs that need them) then find
  // these already loaded, whatever search order loads them.
  for (const wchar_t* dll : {L"crypt32.dll", L"bcrypt.dll", L"winhttp.dll"})
    LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  writeToConsoleAsUtf16(std::cout, STD_OUTPUT_HANDLE);
  writeToConsoleAsUtf16(std::cerr, STD_ERROR_HANDLE);
}

std::vector<std::string> arguments(int, char**) {
  // The narrow argv is in the ANSI code page; take the wide command line instead.
  int count = 0;
  std::unique_ptr<wchar_t*, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> args;
  for (int i = 0; argv && i < count; ++i) args.push_back(narrow(argv.get()[i]));
  return args;
}

fs::path ownExecutablePath() {
  // Grows until the whole path fits: long paths exceed MAX_PATH.
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "cannot find the launcher's own path");
    }
    if (length < buffer.size()) return fs::path(buffer.substr(0, length));
    if (buffer.size() >= 32768)
      throw std::runtime_error("cannot find the launcher's own path: too long");
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// Read from the process environment itself: the C runtime's copy is made once,
// in the ANSI code page.
std::optional<std::wstring> environmentWide(const char* name) {
  const std::wstring key = wide(name);
  std::wstring value(64, L'\0');
  while (true) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (length < value.size()) return value.substr(0, length);
    value.resize(length);
  }
}

}  // namespace

std::optional<std::string> environment(const char* name) {
  const auto value = environmentWide(name);
  return value ? std::optional<std::string>(narrow(value->c_str())) : std::nullopt;
}

fs::path environmentPath(const char* name) { return fs::path(environmentWide(name).value_or(L"")); }

namespace {

// While the tool server runs, Ctrl+C is its to handle: the launcher stays to
// pass its exit code on. Not inherited, unlike ignoring the signal.
BOOL WINAPI leaveCtrlCToTheChild(DWORD type) {
  return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
}

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    DeleteProcThreadAttributeList(list);
    std::free(list);
  }
};
using AttributeList =
    std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, AttributeListDeleter>;

// An attribute list that lets the child inherit exactly `handles`.
AttributeList inheritOnly(std::vector<HANDLE>& handles) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto* raw = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(size));
  if (!raw || !InitializeProcThreadAttributeList(raw, 1, 0, &size)) {
    std::free(raw);
    return AttributeList(nullptr);
  }
  AttributeList list(raw);
  if (!UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                 handles.size() * sizeof(HANDLE), nullptr, nullptr))
    return AttributeList(nullptr);
  return list;
}

}  // namespace

std::optional<std::uint32_t> startProcess(const fs::path& application,
                                          const fs::path::string_type& commandLine,
                                          const fs::path& workingFolder, bool inheritHandles,
                                          bool wait) {
  std::wstring writable = commandLine;  // CreateProcessW may write into it
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  DWORD flags = 0;
  // Only the standard streams: any other inheritable handle of ours (a file a
  // library opened) would otherwise stay open for as long as the child runs.
  std::vector<HANDLE> handles;
  AttributeList attributes(nullptr);
  if (inheritHandles) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput,
                     startup.StartupInfo.hStdError}) {
      if (!h || h == INVALID_HANDLE_VALUE ||
          std::find(handles.begin(), handles.end(), h) != handles.end())
        continue;
      if (SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) handles.push_back(h);
    }
    if (!handles.empty()) attributes = inheritOnly(handles);
    if (attributes) {
      startup.lpAttributeList = attributes.get();
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
  }
  // A child we wait for dies with us: an MCP client that ends the launcher
  // (the only process it knows) ends the tool server too.
  Handle job;
  if (wait) {
    job.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits))
      flags |= CREATE_SUSPENDED;
    else
      job.reset();
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, inheritHandles, flags,
                      nullptr, workingFolder.c_str(), &startup.StartupInfo, &info)) {
    return std::nullopt;
  }
  Handle thread(info.hThread);
  Handle process(info.hProcess);
  if (job) {
    // Outside the job (its assignment refused) it still runs, only unbound.
    AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
  }
  DWORD status = 0;
  if (wait) {
    SetConsoleCtrlHandler(leaveCtrlCToTheChild, TRUE);
    WaitForSingleObject(process.get(), INFINITE);
    SetConsoleCtrlHandler(leaveCtrlCToTheChild, FALSE);
    GetExitCodeProcess(process.get(), &status);
  }
  return status;
}

void messageBox(const std::string& utf8Text, const std::string& utf8Title, bool error) {
  // With no desktop to show it on, MessageBoxW fails at once; that is fine. After a
  // long download the process may no longer take the foreground by itself.
  MessageBoxW(nullptr, wide(utf8Text).c_str(), wide(utf8Title).c_str(),
              MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION) | MB_SETFOREGROUND | MB_TOPMOST);
}

namespace {

// COM on this thread for as long as it lives, where it could be started.
class ComApartment {
 public:
  explicit ComApartment(DWORD model) : started_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
  ~ComApartment() {
    if (started_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool started_;
};

}  // namespace

void openInBrowser(const std::string& url) {
  // The shell may hand the link to a COM server, and a process about to exit
  // must wait for that hand-off, or the browser may never hear of it.
  const ComApartment com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const std::wstring link = wide(url);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = link.c_str();
  info.nShow = SW_SHOWNORMAL;
  ShellExecuteExW(&info);
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

TerminalEscapes::TerminalEscapes() {
  const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return;
  previous_ = mode;
  // Consoles before Windows 10 and some hosts refuse; the line then redraws with blanks.
  changed_ = !(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
             SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  enabled_ = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || changed_;
}

// The console is the user's: the shell it belongs to gets it back as it was.
TerminalEscapes::~TerminalEscapes() {
  if (changed_) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), previous_);
}

void setRegistryString(const std::u16string& key, const std::u16string* name,
                       const std::u16string& data, std::uint32_t dataSize) {
  const wchar_t* value = name ? wideOf(*name) : nullptr;
  std::wstring present(data.size() + 2, L'\0');
  DWORD type = 0, size = static_cast<DWORD>(present.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_CURRENT_USER, wideOf(key), value, RRF_RT_ANY | RRF_NOEXPAND, &type,
                   present.data(), &size) == ERROR_SUCCESS &&
      type == REG_SZ && size == dataSize &&
      present.compare(0, data.size(), reinterpret_cast<const wchar_t*>(data.data()), data.size()) ==
          0)
    return;
  RegSetKeyValueW(HKEY_CURRENT_USER, wideOf(key), value, REG_SZ, wideOf(data), dataSize);
}

std::optional<fs::path> programsFolder() {
  PWSTR raw = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, &raw);
  std::unique_ptr<wchar_t, TaskMemFreer> folder(raw);
  if (FAILED(result) || !folder) return std::nullopt;
  return fs::path(folder.get());
}

const char* const kShortcutExtension = ".lnk";

ShellLinks::ShellLinks() {
  // Its result does not matter: the shortcuts are tried either way.
  started_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

ShellLinks::~ShellLinks() {
  if (started_) CoUninitialize();
}

ShellLinks::Result ShellLinks::write(const fs::path& file, const fs::path& target,
                                     const std::u16string& arguments,
                                     const std::u16string& description, const fs::path& icon) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.out()))) {
    return Result::skipped;
  }
  ComPtr<IPersistFile> persist;
  if (FAILED(link->QueryInterface(IID_IPersistFile, persist.out()))) return Result::skipped;
  if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
    wchar_t path[MAX_PATH * 4], args[4096], text[4096], iconPath[MAX_PATH * 4];
    int index = -1;
    if (SUCCEEDED(link->GetPath(path, MAX_PATH * 4, nullptr, SLGP_RAWPATH)) &&
        SUCCEEDED(link->GetArguments(args, 4096)) && SUCCEEDED(link->GetDescription(text, 4096)) &&
        SUCCEEDED(link->GetIconLocation(iconPath, MAX_PATH * 4, &index)) &&
        fs::path(path) == target && args == std::wstring(wideOf(arguments)) &&
        text == std::wstring(wideOf(description)) && fs::path(iconPath) == icon && index == 0)
      return Result::saved;
  }
  link->SetPath(target.c_str());
  link->SetArguments(wideOf(arguments));
  link->SetDescription(wideOf(description));
  link->SetIconLocation(icon.c_str(), 0);
  return SUCCEEDED(persist->Save(file.c_str(), TRUE)) ? Result::saved : Result::saveFailed;
}

FileLock::FileLock(const fs::path& file)
    : handle_(reinterpret_cast<std::intptr_t>(
          CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr))) {
  if (reinterpret_cast<HANDLE>(handle_) == INVALID_HANDLE_VALUE) {
    throw fs::filesystem_error(
        "cannot open lock file", file,
        std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
}

FileLock::~FileLock() {
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  if (held_) {
    OVERLAPPED at{};
    UnlockFileEx(h, 0, 1, 0, &at);
  }
  CloseHandle(h);
}

bool FileLock::tryLock() {
  OVERLAPPED at{};
  held_ = LockFileEx(reinterpret_cast<HANDLE>(handle_),
                     LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
  return held_;
}

void FileLock::lock() {
  OVERLAPPED at{};
  if (!LockFileEx(reinterpret_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "cannot lock the install root");
  }
  held_ = true;
}

void setRegistryNumber(const std::u16string& key, const std::u16string& name, std::uint32_t data) {
  DWORD present = 0, size = sizeof present;
  if (RegGetValueW(HKEY_CURRENT_USER, wideOf(key), wideOf(name), RRF_RT_REG_DWORD, nullptr,
                   &present, &size) == ERROR_SUCCESS &&
      present == data)
    return;
  const DWORD value = data;
  RegSetKeyValueW(HKEY_CURRENT_USER, wideOf(key), wideOf(name), REG_DWORD, &value, sizeof value);
}

std::optional<std::u16string> registryString(const std::u16string& key,
                                             const std::u16string* name) {
  const wchar_t* value = name ? wideOf(*name) : nullptr;
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, wideOf(key), value, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  std::u16string data(size / sizeof(char16_t) + 1, u'\0');
  size = static_cast<DWORD>(data.size() * sizeof(char16_t));
  if (RegGetValueW(HKEY_CURRENT_USER, wideOf(key), value, RRF_RT_REG_SZ, nullptr, data.data(),
                   &size) != ERROR_SUCCESS)
    return std::nullopt;
  data.resize(size / sizeof(char16_t));
  while (!data.empty() && data.back() == u'\0') data.pop_back();
  return data;
}

void deleteRegistryKey(const std::u16string& key) {
  RegDeleteTreeW(HKEY_CURRENT_USER, wideOf(key));
}

namespace {

fs::path temporaryFolder() {
  wchar_t temporary[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  if (length == 0 || length > MAX_PATH)
    throw std::runtime_error("cannot find the temporary folder");
  return fs::path(temporary);
}

}  // namespace

void leaveWorkingFolder() {
  wchar_t system[MAX_PATH];
  try {
    if (SetCurrentDirectoryW(temporaryFolder().c_str())) return;
  } catch (const std::runtime_error&) {
  }
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length > 0 && length < MAX_PATH) SetCurrentDirectoryW(system);
}

void waitForStarter(const std::string& word, std::chrono::milliseconds bound) {
  std::uint64_t value = 0;
  bool valid = !word.empty() && word.size() <= 19;
  for (unsigned char c : word) {
    valid = valid && velmora::isAsciiDigit(c);
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  // Inherited from the starter: it keeps the process (and its id) from being
  // reused by another until this copy lets go.
  Handle process(valid ? reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)) : nullptr);
  if (!process || GetProcessId(process.get()) == 0) {
    process.release();  // not ours to close
    throw std::invalid_argument("not a process handle: " + word);
  }
  WaitForSingleObject(process.get(), static_cast<DWORD>(bound.count()));
}

void startTemporaryCopy(const std::vector<std::string>& arguments) {
  wchar_t system[MAX_PATH];
  const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
  if (systemLength == 0 || systemLength >= MAX_PATH)
    throw std::runtime_error("cannot find the system folder");
  const std::wstring name = L"velmora-uninstall-" + wide(velmora::randomToken()) + L".exe";
  const fs::path folder = temporaryFolder(), copy = folder / name;
  if (!CopyFileW(ownExecutablePath().c_str(), copy.c_str(), TRUE))
    throwIf(lastError(), "cannot copy the launcher to", copy);
  // The copy waits on a handle to this process, passed down through the command
  // processor: a process id could name another process once this one is gone.
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                       SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
    const std::error_code error = lastError();
    DeleteFileW(copy.c_str());
    throwIf(error, "cannot start", copy);
  }
  const Handle own(self);
  std::vector<HANDLE> inherited{self};
  const AttributeList attributes = inheritOnly(inherited);
  // A program's own file cannot go while it runs, so the command processor
  // runs the copy, waits for it to end, and deletes it. Only the name, run from
  // its folder, goes through the command processor's parsing: a path could
  // hold '%' or '^'.
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  std::wstring words;
  for (const std::string& argument : arguments) words += L" " + wide(argument);
  words += L" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(self));
  const std::wstring line =
      L"\"" + shell + L"\" /d /c \".\\" + name + words + L" & del /f /q " + name + L"\"";
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  DWORD flags = CREATE_NO_WINDOW;
  if (attributes) {
    startup.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info{};
  const auto start = [&](DWORD more) {
    std::wstring writable = line;
    return CreateProcessW(shell.c_str(), writable.data(), nullptr, nullptr, TRUE, flags | more,
                          nullptr, folder.c_str(), &startup.StartupInfo, &info) != 0;
  };
  // Out of a job that would end it along with this process, where the job allows.
  if (!start(CREATE_BREAKAWAY_FROM_JOB) && !start(0)) {
    const std::error_code error = lastError();
    DeleteFileW(copy.c_str());
    throwIf(error, "cannot start", copy);
  }
  Handle thread(info.hThread), process(info.hProcess);
}

namespace {

// Strings WinHTTP hands over for the caller to free.
struct GlobalText {
  LPWSTR text;
  ~GlobalText() {
    if (text) GlobalFree(text);
  }
  std::string utf8() const { return text ? narrow(text) : std::string(); }
};

struct InternetHandle {
  HINTERNET handle;
  ~InternetHandle() {
    if (handle) WinHttpCloseHandle(handle);
  }
};

}  // namespace

std::optional<SystemProxy> systemProxy(const std::string& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&user)) return std::nullopt;
  const GlobalText script{user.lpszAutoConfigUrl}, proxies{user.lpszProxy},
      bypass{user.lpszProxyBypass};
  if (user.fAutoDetect || script.text) {
    const InternetHandle session{WinHttpOpen(L"Velmora", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (script.text) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = script.text;
    }
    if (user.fAutoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO found{};
    if (session.handle &&
        WinHttpGetProxyForUrl(session.handle, wide(url).c_str(), &options, &found)) {
      const GlobalText foundProxies{found.lpszProxy}, foundBypass{found.lpszProxyBypass};
      if (found.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return SystemProxy{};
      return SystemProxy{foundProxies.utf8(), foundBypass.utf8()};
    }
    // No script or detection found nothing: the fixed settings apply, as for the system's own
    // programs.
  }
  return SystemProxy{proxies.utf8(), bypass.utf8()};
}

std::optional<FileIdentity> fileIdentity(const fs::path& path) {
  // Only to read attributes: any other program may go on writing, renaming or deleting it.
  Handle file(CreateFileW(longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return std::nullopt;
  const auto join = [](DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
  };
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.idLow = join(info.nFileIndexHigh, info.nFileIndexLow);
  identity.size = join(info.nFileSizeHigh, info.nFileSizeLow);
  identity.written = static_cast<std::int64_t>(
      join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  identity.born = static_cast<std::int64_t>(
      join(info.ftCreationTime.dwHighDateTime, info.ftCreationTime.dwLowDateTime));
  // ReFS numbers its files in 128 bits; the short number above may not be unique there.
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(file.get(), FileIdInfo, &id, sizeof id)) {
    identity.volume = id.VolumeSerialNumber;
    std::uint64_t halves[2];
    static_assert(sizeof halves == sizeof id.FileId.Identifier);
    std::memcpy(halves, id.FileId.Identifier, sizeof halves);
    identity.idLow = halves[0];
    identity.idHigh = halves[1];
  }
  return identity;
}

bool hasListedMode(const fs::path&, bool) { return true; }

std::optional<FreeSpace> freeSpace(const fs::path& path) {
  fs::path at = fs::absolute(path);
  while (GetFileAttributesW(at.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (!at.has_relative_path()) return std::nullopt;
    at = at.parent_path();
  }
  // The caller's quota, not the volume's total: that is what a user may write.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(at.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  wchar_t volume[MAX_PATH + 1];
  const std::string name =
      GetVolumePathNameW(at.c_str(), volume, MAX_PATH + 1) ? narrow(volume) : narrow(at.c_str());
  return FreeSpace{available.QuadPart, name};
}

bool appendToFile(const fs::path& file, const std::string& bytes) {
  const HANDLE handle = CreateFileW(longPath(file).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // Never through a link, nor into a device or pipe that could hold the start.
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD written = 0;
  const bool whole =
      GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(handle);
  return whole;
}

unsigned long processId() { return GetCurrentProcessId(); }

}  // namespace platform
