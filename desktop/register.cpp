#include "desktop/register.h"

#include <fstream>
#include <iostream>
#include <iterator>

#include "desktop/icon.h"
#include "desktop/scheme.h"
#include "launcher/text.h"
#include "platform/platform.h"

namespace velmora {

namespace fs = std::filesystem;

fs::path copyLauncher(const fs::path& root) {
  const fs::path own = platform::ownExecutablePath();
  const fs::path ownFolder = own.parent_path();
  const fs::path folder = root / "Launcher";
  // Compared by identity, not by text: a start through the link or a shortcut
  // runs the copy itself and must not copy onto itself.
  if (!(fs::exists(folder) && fs::equivalent(folder, ownFolder))) {
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(ownFolder)) {
      if (entry.is_regular_file()) {
        fs::copy_file(entry.path(), folder / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
      }
    }
  }
  return folder / own.filename();
}

namespace {

void registerScheme(const fs::path& launcher) {
  for (const RegistryValue& value : schemeValues(launcher)) {
    platform::setRegistryString(value.key, value.isDefault ? nullptr : &value.name, value.data,
                                value.dataSize());
  }
}

// Returns the file the shortcuts should name as their icon.
fs::path writeIconFile(const fs::path& versionFolder, const fs::path& root,
                       const fs::path& launcher) {
  std::ifstream source(versionFolder / "content" / "icon.png", std::ios::binary);
  if (!source) return launcher;
  const std::string png{std::istreambuf_iterator<char>(source), std::istreambuf_iterator<char>()};
  const auto ico = iconFileBytes(png);
  if (!ico) return launcher;
  const fs::path iconFile = root / "icon.ico";
  std::ofstream out(iconFile, std::ios::binary | std::ios::trunc);
  out.write(ico->data(), static_cast<std::streamsize>(ico->size()));
  out.close();
  // A shortcut naming an icon file that was not written would show no icon at all.
  return out ? iconFile : launcher;
}

void writeShortcuts(const fs::path& launcher, const fs::path& icon) {
  const auto folder = platform::programsFolder();
  if (!folder) return;
  platform::ShellLinks links;
  const auto write = [&](const std::string& name, const std::u16string& arguments,
                         const std::u16string& description) {
    const fs::path file = *folder / pathFromUtf8(name + platform::kShortcutExtension);
    if (links.write(file, launcher, arguments, description, icon) ==
        platform::ShellLinks::Result::saveFailed) {
      std::cerr << "warning: could not create " << utf8(file) << std::endl;
    }
  };
  write("Velmora", u"", u"Velmora");
  write("Velmora Studio", u"--studio", u"Velmora Studio");
}

}  // namespace

void registerHandler(const fs::path& root, const fs::path& versionFolder) {
  const fs::path launcher = copyLauncher(root);
  registerScheme(launcher);
  const fs::path icon = writeIconFile(versionFolder, root, launcher);
  writeShortcuts(launcher, icon);
}

}  // namespace velmora
