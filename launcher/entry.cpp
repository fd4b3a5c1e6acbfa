#include "launcher/entry.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "base/text.h"
#include "build_config.h"
#include "desktop/register.h"
#include "desktop/uninstall.h"
#include "install/install_lock.h"
#include "install/installed.h"
#include "install/layout.h"
#include "install/repair.h"
#include "install/update.h"
#include "launcher/process.h"
#include "links/launch.h"
#include "links/site_url.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "selftest/selftest.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr char kInstalledMessage[] = "Velmora is installed. Join a game from the website.";
constexpr char kUnknownCommandLine[] = "expected a velmora-player: link, --studio or --studio-mcp";
constexpr char kErrorPrefix[] = "Velmora launcher: ";
constexpr char kErrorBoxPrefix[] = "Velmora could not start:\n\n";
constexpr char kRemovalBoxPrefix[] = "Velmora could not be removed:\n\n";
constexpr char kRemovedMessage[] = "Velmora has been removed.";
constexpr char kRepairBoxPrefix[] = "Velmora could not be repaired:\n\n";
constexpr char kLeftWarning[] =
    " is in use and was left; run the uninstall again after closing Velmora";
constexpr char kLinkPrefix[] = "velmora-player:";

// The one place that reports a failure; `boxPrefix` null shows no box.
int report(const std::exception& error, const char* boxPrefix) {
  std::cerr << kErrorPrefix << error.what() << std::endl;
  if (boxPrefix) showError(boxPrefix + std::string(error.what()));
  return 1;
}

// Started from the Apps list, the box is all the user sees of what was left.
int runUninstall() {
  const std::vector<fs::path> left = uninstall(installRoot());
  if (left.empty()) {
    std::cout << kRemovedMessage << std::endl;
    return 0;
  }
  std::string text;
  for (const fs::path& path : left) {
    std::cerr << "warning: " << utf8(path) << kLeftWarning << std::endl;
    text += utf8(path) + kLeftWarning + "\n";
  }
  showError(kRemovalBoxPrefix + text);
  return 1;
}

// What the Apps list's Modify button runs: the box is all its user sees.
int runRepair() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const fs::path root = installRoot();
  if (newestInstalled(root / "Versions").empty()) {
    throw std::runtime_error("no installed version of Velmora to repair");
  }
  // Never beside a start that installs or prunes; the newest may change until it is held.
  InstallLock lock(root);
  const fs::path version = newestInstalled(root / "Versions");
  if (version.empty()) throw std::runtime_error("no installed version of Velmora to repair");
  const std::size_t repaired = repairVersion(version);
  const std::string name = utf8(version.filename());
  const std::string text =
      repaired == 0 ? "Velmora " + name + " is intact"
                    : "Repaired " + std::to_string(repaired) + " files of Velmora " + name;
  std::cout << text << std::endl;
  platform::messageBox(text, "Velmora", false);
  return 0;
}

// The temporary copy that an uninstall from the launcher copy starts; nobody
// sees its output, and a box would only puzzle.
int runFinishUninstall(const std::string& starter) {
  finishUninstall(installRoot(), starter);
  return 0;
}

int runStart(const std::vector<std::string>& args, bool mcpMode) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const fs::path root = installRoot();
  const fs::path version = ensureCurrentVersion(root);
  registerHandler(root, version);

  const std::string first = args.size() > 1 ? args[1] : std::string();
  // Desktop environments may pass their field codes through unexpanded.
  if (first.empty() || first == "%u" || first == "%U" || first == "%f") {
    std::cout << kInstalledMessage << std::endl;
    openWebsite();
    return 0;
  }
  Launch launch;
  if (mcpMode) {
    launch.studio = true;
    launch.args = {"--stdio"};
  } else if (first == "--studio") {
    launch.studio = true;
    if (args.size() >= 3) launch.args = {utf8(fs::absolute(pathFromUtf8(args[2])))};
  } else if (first.compare(0, sizeof kLinkPrefix - 1, kLinkPrefix) == 0) {
    launch = launchFromUri(first);
  } else {
    throw std::runtime_error(kUnknownCommandLine);
  }
  return startExecutable(launch, version, mcpMode);
}

// What the log calls the start: the first argument when it is an option.
std::string modeOf(const std::vector<std::string>& args) {
  if (args.size() < 2 || args[1].empty() || args[1][0] == '%') return "install";
  if (args[1].compare(0, sizeof kLinkPrefix - 1, kLinkPrefix) == 0) return "link";
  // Only options it knows: anything else may carry what the log must not hold.
  for (const char* option : {"--repair", "--studio", "--studio-mcp"}) {
    if (args[1] == option) return option;
  }
  return "unknown command line";
}

int dispatch(const std::vector<std::string>& args);

}  // namespace

void showError(const std::string& utf8Text) { platform::messageBox(utf8Text, "Velmora"); }

void openWebsite() { platform::openInBrowser("https://" + webHost() + "/games"); }

int run(const std::vector<std::string>& args) {
  // An uninstall's log would go with the root, or land in a folder it refuses.
  const bool logged = args.size() < 2 || (args[1] != "--self-test" && args[1] != "--uninstall" &&
                                          args[1] != "--uninstall-finish");
  if (!logged) return dispatch(args);
  const auto began = std::chrono::steady_clock::now();
  try {
    platform::openLog(installRoot() / "Logs" / "launcher.log");
  } catch (const std::exception&) {
  }
  // Warnings and errors go to the log exactly as printed.
  platform::logStream(std::cerr);
  platform::logStream(std::cout);
  platform::logLine(std::string("velmora-launcher ") + kLauncherBuild + ", " + modeOf(args) +
                    ", setup host " + kSetupBaseUrl);
  const int status = dispatch(args);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  platform::logLine("exit status " + std::to_string(status) + " after " + seconds + " s");
  return status;
}

namespace {

int dispatch(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[1] == "--self-test") {
    try {
      return selfTest();
    } catch (const std::exception& e) {
      return report(e, kErrorBoxPrefix);
    }
  }
  if (args.size() == 2 && args[1] == "--uninstall") {
    try {
      return runUninstall();
    } catch (const std::exception& e) {
      return report(e, kRemovalBoxPrefix);
    }
  }
  if (args.size() == 2 && args[1] == "--repair") {
    try {
      return runRepair();
    } catch (const std::exception& e) {
      return report(e, kRepairBoxPrefix);
    }
  }
  if (args.size() == 3 && args[1] == "--uninstall-finish") {
    try {
      return runFinishUninstall(args[2]);
    } catch (const std::exception& e) {
      return report(e, nullptr);
    }
  }
  const bool mcpMode = args.size() == 2 && args[1] == "--studio-mcp";
  if (mcpMode) {
    // The process's real standard output belongs to the tool server.
    std::cout.rdbuf(std::cerr.rdbuf());
    std::cout.clear();
  }
  try {
    return runStart(args, mcpMode);
  } catch (const std::exception& e) {
    return report(e, mcpMode ? nullptr : kErrorBoxPrefix);
  }
}

}  // namespace

}  // namespace velmora
