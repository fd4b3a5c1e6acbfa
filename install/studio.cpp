#include "install/studio.h"

#include <iostream>

#include "base/text.h"
#include "build_config.h"
#include "install/install_lock.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release/release.h"
#include "install/update.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/retry.h"

namespace velmora {

namespace fs = std::filesystem;

fs::path installStudio(const fs::path& versionFolder, const char* executable) {
  const fs::path studio = versionFolder / "Studio";
  if (!usableInstall(studio, executable)) {
    InstallLock lock(versionFolder.parent_path().parent_path());
    if (!usableInstall(studio, executable)) {
      std::cout << "Installing Velmora Studio" << std::endl;
      const fs::path staging = versionFolder / "Studio.partial";
      // Set aside where later starts' prune finds what a program still holds.
      const fs::path versions = versionFolder.parent_path();
      platform::removeTree(staging, versions);
      // The studio of a fallback version is that version's own studio, checked
      // against the release the version was installed from. With a key built in,
      // one that records none (installed before signing, or its record lost) has
      // its release fetched and verified now.
      const std::string version = utf8(versionFolder.filename());
      std::optional<Release> release = recordedRelease(versionFolder);
      if (!release && kReleasePublicKey[0] != '\0') release = fetchRelease(version);
      install(version, kStudioPackage.archive, staging, release ? &*release : nullptr);
      writeCompleteMarker(staging);
      platform::moveFolder(platform::fileSystem(), staging, studio, versions, platform::kBusyBound);
    }
  }
  return studio / executable;
}

}  // namespace velmora
