#include "desktop/scheme.h"

namespace velmora {

namespace fs = std::filesystem;

std::vector<RegistryValue> schemeValues(const fs::path& launcher) {
  const std::u16string key = kSchemeKey;
  const std::u16string quoted = u"\"" + launcher.u16string() + u"\"";
  return {
      {key, true, u"", u"URL:Velmora Protocol"},
      {key, false, u"URL Protocol", u""},
      {key + u"\\DefaultIcon", true, u"", quoted + u",0"},
      // Quoting %1 hands the whole link over as one argument.
      {kSchemeCommandKey, true, u"", quoted + u" \"%1\""},
  };
}

std::optional<fs::path> commandProgram(const std::u16string& command) {
  std::u16string program;
  if (!command.empty() && command[0] == u'"') {
    const auto end = command.find(u'"', 1);
    if (end == std::u16string::npos) return std::nullopt;
    program = command.substr(1, end - 1);
  } else {
    program = command.substr(0, command.find_first_of(u" \t"));
  }
  if (program.empty()) return std::nullopt;
  return fs::path(program);
}

std::vector<RegistryValue> appsEntryValues(const fs::path& root, const fs::path& launcher,
                                           const fs::path& icon, const std::u16string& version,
                                           std::optional<std::uint32_t> kilobytes) {
  const std::u16string key = kAppsEntryKey;
  // Our removal never asks anything, so the quiet form is the same command.
  const std::u16string uninstall = u"\"" + launcher.u16string() + u"\" --uninstall";
  std::vector<RegistryValue> values = {
      {key, false, u"DisplayName", u"Velmora"},
      {key, false, u"DisplayIcon", icon.u16string()},
      {key, false, u"Publisher", u"Velmora"},
      {key, false, u"InstallLocation", root.u16string()},
      {key, false, u"UninstallString", uninstall},
      {key, false, u"QuietUninstallString", uninstall},
      // Modify checks the installed files and fetches those missing or damaged.
      {key, false, u"ModifyPath", u"\"" + launcher.u16string() + u"\" --repair"},
      {key, false, u"NoModify", u"", 0},
      {key, false, u"NoRepair", u"", 1},
  };
  if (kilobytes) values.push_back({key, false, u"EstimatedSize", u"", *kilobytes});
  values.push_back({key, false, u"DisplayVersion", version});
  return values;
}

}  // namespace velmora
