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

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>

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

}  // namespace

void initialise() {}

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

std::optional<std::string> environment(const char* name) {
  const wchar_t* value = _wgetenv(wide(name).c_str());
  return value ? std::optional<std::string>(narrow(value)) : std::nullopt;
}

fs::path environmentPath(const char* name) {
  const wchar_t* value = _wgetenv(wide(name).c_str());
  return value ? fs::path(value) : fs::path();
}

std::optional<std::uint32_t> startProcess(const fs::path& application,
                                          const fs::path::string_type& commandLine,
                                          const fs::path& workingFolder, bool inheritHandles,
                                          bool wait) {
  std::wstring writable = commandLine;  // CreateProcessW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, inheritHandles, 0,
                      nullptr, workingFolder.c_str(), &startup, &info)) {
    return std::nullopt;
  }
  Handle thread(info.hThread);
  Handle process(info.hProcess);
  DWORD status = 0;
  if (wait) {
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), &status);
  }
  thread.reset();
  process.reset();
  return status;
}

void messageBox(const std::string& utf8Text, const std::string& utf8Title) {
  // With no desktop to show it on, MessageBoxW fails at once; that is fine.
  MessageBoxW(nullptr, wide(utf8Text).c_str(), wide(utf8Title).c_str(), MB_OK | MB_ICONERROR);
}

void openInBrowser(const std::string& url) {
  ShellExecuteW(nullptr, L"open", wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void setRegistryString(const std::u16string& key, const std::u16string* name,
                       const std::u16string& data, std::uint32_t dataSize) {
  RegSetKeyValueW(HKEY_CURRENT_USER, wideOf(key), name ? wideOf(*name) : nullptr, REG_SZ,
                  wideOf(data), dataSize);
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
  link->SetPath(target.c_str());
  link->SetArguments(wideOf(arguments));
  link->SetDescription(wideOf(description));
  link->SetIconLocation(icon.c_str(), 0);
  ComPtr<IPersistFile> persist;
  if (FAILED(link->QueryInterface(IID_IPersistFile, persist.out()))) return Result::skipped;
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

}  // namespace platform
