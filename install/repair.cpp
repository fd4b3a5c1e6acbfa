#include "install/repair.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/text.h"
#include "build_config.h"
#include "install/entries.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release/file_list.h"
#include "install/release/release.h"
#include "install/transfer/download.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/sha256.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr char kProgressLabel[] = "Downloading";

// A damaged file: where it belongs, and where its new copy is fetched to first.
struct Damaged {
  const Package* package;
  const ListedFile* file;
  fs::path target, fresh;
};

// Fetches `damaged` alone into their fresh names; returns the packages whose
// entries the host would not give alone.
std::set<const Package*> fetchAlone(const std::string& version, std::vector<Damaged>& damaged) {
  std::vector<std::unique_ptr<EntrySink>> sinks;
  std::vector<Transfer> transfers;
  std::vector<const Package*> packageOf;
  std::set<const Package*> packages;
  for (const Damaged& d : damaged) packages.insert(d.package);
  for (const Package* package : packages) {
    std::vector<EntrySpan::Target> targets;
    for (const Damaged& d : damaged) {
      if (d.package == package) targets.push_back({d.file, d.fresh});
    }
    for (EntrySpan& span : entrySpans(std::move(targets), kSpanGap)) {
      const ByteSpan bytes{static_cast<std::int64_t>(span.first),
                           static_cast<std::int64_t>(span.last)};
      sinks.push_back(std::make_unique<EntrySink>(package->archive, std::move(span)));
      transfers.push_back({std::string(kSetupBaseUrl) + version + "-" + package->archive,
                           package->archive, sinks.back().get(), bytes,
                           bytes.last + 1 - bytes.first});
      packageOf.push_back(package);
    }
  }
  std::set<const Package*> whole;
  Downloads downloads(std::move(transfers), kProgressLabel);
  downloads.run([&](std::size_t i) {
    if (downloads.abandoned(i).empty()) return;
    if (whole.insert(packageOf[i]).second)
      std::cerr << "warning: " << packageOf[i]->archive << ": " << downloads.abandoned(i)
                << "; downloading it whole" << std::endl;
  });
  return whole;
}

}  // namespace

std::size_t repairVersion(const fs::path& folder) {
  const std::string version = utf8(folder.filename());
  const auto cannot = [&](const std::string& why) {
    return std::runtime_error("Velmora " + version + " cannot be repaired: " + why);
  };
  // The release again from the host, signature and all: the records on disk may be damaged too.
  const std::optional<Release> release = fetchRelease(version, {});
  if (!release) throw cannot("the setup host has no release file for it");
  const std::optional<FileList> list = fetchFileList(*release);
  if (!list) throw cannot("its release has no file list");

  std::vector<Package> packages(kPackages.begin(), kPackages.end());
  if (fs::exists(folder / "Studio" / kCompleteMarker)) packages.push_back(kStudioPackage);
  const PathOwners owners(*list, packages);
  std::vector<Damaged> damaged;
  std::uint64_t bytes = 0;
  std::set<std::string> seen;
  for (const Package& package : packages) {
    for (const ListedFile& file : list->find(package.archive)->files) {
      const std::string path = package.destination + file.name;
      if (!owners.owns(package.archive, path)) continue;
      // Never written through a link to somewhere else.
      if (!linkFree(folder, path, seen)) throw cannot("a link or junction leads out of " + path);
      const fs::path target = folder / pathFromUtf8(path);
      if (holdsContent(target, file.size, file.sha256)) continue;
      fs::path fresh = target;
      fresh += "." + randomToken() + ".new";
      damaged.push_back({&package, &file, target, fresh});
      bytes += file.size;
    }
  }
  if (damaged.empty()) return 0;
  requireSpace(version, folder, bytes);

  // Where the host gives no entries alone: the package whole, set aside, and the files from it.
  const fs::path aside = platform::tombstoneIn(folder.parent_path(), folder.filename());
  try {
    for (const Package* package : fetchAlone(version, damaged)) {
      install(version, {*package}, aside, &*release, {}, nullptr, &*list);
      for (Damaged& d : damaged) {
        if (d.package != package) continue;
        std::error_code ignored;
        fs::remove(d.fresh, ignored);
        d.fresh = aside / pathFromUtf8(package->destination + d.file->name);
      }
    }
    std::vector<fs::path> fresh;
    for (const Damaged& d : damaged) fresh.push_back(d.fresh);
    platform::flushToDisk(fresh);
    for (const Damaged& d : damaged) {
      fs::create_directories(d.target.parent_path());
      platform::replaceFile(platform::fileSystem(), d.fresh, d.target);
    }
  } catch (...) {
    // A version that stays in use keeps no half-fetched copies beside its files.
    for (const Damaged& d : damaged) {
      std::error_code ignored;
      fs::remove(d.fresh, ignored);
    }
    platform::removeTree(aside, folder.parent_path());
    throw;
  }
  platform::removeTree(aside, folder.parent_path());
  return damaged.size();
}

}  // namespace velmora
