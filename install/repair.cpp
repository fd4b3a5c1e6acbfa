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
      sinks.push_back(std::make_unique<EntrySink>(package->archive, std::move(span)));
      transfers.push_back(entryTransfer(
          std::string(kSetupBaseUrl) + version + "-" + package->archive, *sinks.back()));
      packageOf.push_back(package);
    }
  }
  std::set<const Package*> whole;
  Downloads downloads(std::move(transfers), kProgressLabel);
  downloads.run([&](std::size_t i) {
    const std::string why = entriesMissing(downloads, i, *sinks[i]);
    if (why.empty()) return;
    if (whole.insert(packageOf[i]).second)
      std::cerr << "warning: " << packageOf[i]->archive << ": " << why << "; downloading it whole"
                << std::endl;
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
  std::optional<std::string> listText;
  const std::optional<Release> release = fetchRelease(version, {}, &listText);
  if (!release) throw cannot("the setup host has no release file for it");
  const std::optional<FileList> list = fetchFileList(*release, listText ? &*listText : nullptr);
  if (!list) throw cannot("its release has no file list");

  std::vector<Package> packages(kPackages.begin(), kPackages.end());
  if (fs::exists(folder / "Studio" / kCompleteMarker)) packages.push_back(kStudioPackage);
  const PathOwners owners(*list, packages);
  std::vector<Damaged> damaged;
  std::uint64_t bytes = 0;
  std::set<std::string> seen;
  for (const Package& package : packages) {
    // An empty folder the release makes is part of the version too.
    for (const std::string& name : list->find(package.archive)->folders) {
      const std::string path = package.destination + name.substr(0, name.size() - 1);
      if (!linkFree(folder, path, seen)) throw cannot("a link or junction leads out of " + path);
      std::error_code ec;
      fs::create_directories(folder / pathFromUtf8(path), ec);
      if (ec) throw cannot("cannot create the folder " + path);
    }
    for (const ListedFile& file : list->find(package.archive)->files) {
      const std::string path = package.destination + file.name;
      if (!owners.owns(package.archive, path)) continue;
      // Never written through a link to somewhere else.
      if (!linkFree(folder, path, seen)) throw cannot("a link or junction leads out of " + path);
      const fs::path target = folder / pathFromUtf8(path);
      if (platform::hasListedMode(target, file.executable) &&
          holdsContent(target, file.size, file.sha256))
        continue;
      damaged.push_back({&package, &file, target, {}});
      bytes += file.size;
    }
  }
  if (damaged.empty()) return 0;
  requireSpace(version, folder, bytes);

  // New copies, a package the host gives only whole, and the damaged files they
  // replace all go to one tombstone beside the version: whatever a kill or a
  // program holding an old copy leaves there goes with a later start's prune,
  // and nothing is ever left inside the version.
  const fs::path versions = folder.parent_path();
  const fs::path aside = platform::tombstoneIn(versions, folder.filename());
  const fs::path fetched = aside / "fetched", whole = aside / "whole", old = aside / "old";
  for (const fs::path& place : {fetched, whole, old}) fs::create_directories(place);
  for (std::size_t i = 0; i < damaged.size(); ++i) damaged[i].fresh = fetched / std::to_string(i);
  try {
    for (const Package* package : fetchAlone(version, damaged)) {
      install(version, {*package}, whole, &*release, {}, nullptr, &*list);
      for (Damaged& d : damaged) {
        if (d.package == package)
          d.fresh = whole / pathFromUtf8(package->destination + d.file->name);
      }
    }
    std::vector<fs::path> fresh;
    for (const Damaged& d : damaged) fresh.push_back(d.fresh);
    platform::flushToDisk(fresh);
    for (const Damaged& d : damaged) {
      fs::create_directories(d.target.parent_path());
      platform::replaceFile(platform::fileSystem(), d.fresh, d.target, old);
    }
  } catch (...) {
    platform::deleteTree(platform::fileSystem(), aside);
    throw;
  }
  platform::deleteTree(platform::fileSystem(), aside);
  return damaged.size();
}

}  // namespace velmora
