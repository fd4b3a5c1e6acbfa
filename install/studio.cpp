#include "install/studio.h"

#include <iostream>

#include "install/install_lock.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release.h"
#include "install/update.h"
#include "launcher/text.h"

namespace velmora {

namespace fs = std::filesystem;

fs::path installStudio(const fs::path& versionFolder) {
  const fs::path studio = versionFolder / "Studio";
  if (!fs::exists(studio / kCompleteMarker)) {
    InstallLock lock(versionFolder.parent_path().parent_path());
    if (!fs::exists(studio / kCompleteMarker)) {
      std::cout << "Installing Velmora Studio" << std::endl;
      const fs::path staging = versionFolder / "Studio.partial";
      fs::remove_all(staging);
      // The studio of a fallback version is that version's own studio.
      // Checked against the release the version was installed from, if it had one.
      const std::optional<Release> release = recordedRelease(versionFolder);
      install(utf8(versionFolder.filename()), kStudioPackage.archive, staging,
              release ? release->find(kStudioPackage.archive) : nullptr);
      writeCompleteMarker(staging);
      fs::remove_all(studio);
      fs::rename(staging, studio);
    }
  }
  return studio / "velmora-studio.exe";
}

}  // namespace velmora
