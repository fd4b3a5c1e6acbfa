#include "install/repair.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/text.h"
#include "build_config.h"
#include "install/entries.h"
#include "install/layout.h"
#include "install/package.h"
#include "install/release/file_list.h"
#include "install/release/release.h"
#include "install/transfer/download.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/removal.h"
#include "platform/sha256.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr char kProgressLabel[] = "Downloading";
// Beside a repair's tombstone, named after it: per line a new copy and the file
// it replaces, both relative to the versions folder, for replacements taken in
// two steps. Never inside a folder, where a release's own file could pose as one.
constexpr char kReplacingSuffix[] = ".replacing";

bool isRepairRecord(const std::string& name) {
  return name.size() > sizeof kReplacingSuffix &&
         name.compare(name.size() - (sizeof kReplacingSuffix - 1), std::string::npos,
                      kReplacingSuffix) == 0;
}

// A name below the versions folder, never one beside or above it.
std::optional<fs::path> belowVersions(const std::string& name) {
  const fs::path path = pathFromUtf8(name);
  if (name.empty() || path.is_absolute() || path.has_root_name()) return std::nullopt;
  for (const fs::path& part : path) {
    if (part == "..") return std::nullopt;
  }
  return path;
}

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

void finishRepairs(const fs::path& versions) {
  std::vector<fs::path> records;
  std::error_code ec;
  for (fs::directory_iterator it(versions, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = utf8(it->path().filename());
    if (isRepairRecord(name) && it->is_regular_file(ec)) records.push_back(it->path());
  }
  for (const fs::path& record : records) {
    const std::optional<std::string> text = readWholeFile(record);
    if (!text) continue;
    std::istringstream lines(*text);
    bool settled = true;
    for (std::string line; std::getline(lines, line);) {
      const auto tab = line.find('\t');
      if (tab == std::string::npos) continue;
      const auto fresh = belowVersions(line.substr(0, tab)),
                 target = belowVersions(line.substr(tab + 1));
      if (!fresh || !target) continue;
      if (platform::finishReplacement(platform::fileSystem(), versions / *fresh,
                                      versions / *target))
        platform::logLine("repair: finished replacing " + utf8(*target) + ", cut off before");
      else if (!fs::exists(versions / *target, ec) && fs::exists(versions / *fresh, ec))
        settled = false;
    }
    // Still missing with its new copy at hand: the record and the copies stay for a later start.
    if (settled) fs::remove(record, ec);
  }
}

bool heldByRepair(const fs::path& entry) {
  const std::string name = utf8(entry.filename());
  std::error_code ec;
  return isRepairRecord(name) || fs::exists(fs::path(entry) += kReplacingSuffix, ec);
}

std::size_t repairVersion(const fs::path& folder) {
  const std::string version = utf8(folder.filename());
  finishRepairs(folder.parent_path());
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
  const fs::path record = fs::path(aside) += kReplacingSuffix;
  for (const fs::path& place : {fetched, whole, old}) fs::create_directories(place);
  for (std::size_t i = 0; i < damaged.size(); ++i) damaged[i].fresh = fetched / std::to_string(i);
  try {
    for (const Package* package : fetchAlone(version, damaged)) {
      // Whole, as the host just would not give its entries by range.
      install(version, {*package}, whole, &*release, {}, nullptr, &*list, false);
      for (Damaged& d : damaged) {
        if (d.package == package)
          d.fresh = whole / pathFromUtf8(package->destination + d.file->name);
      }
    }
    std::vector<fs::path> fresh;
    for (const Damaged& d : damaged) fresh.push_back(d.fresh);
    platform::flushToDisk(fresh);
    // A file is never missing, even for a moment: where a copy in use takes two
    // steps, the next start or repair finishes what a kill cut off.
    bool recorded = false;
    const auto recording = [&] {
      if (recorded) return;
      std::string text;
      for (const Damaged& d : damaged) {
        text += utf8(d.fresh.lexically_relative(versions)) + "\t" +
                utf8(d.target.lexically_relative(versions)) + "\n";
      }
      writeWholeFile(record, text);
      platform::flushToDisk({record});
      recorded = true;
    };
    for (const Damaged& d : damaged) {
      fs::create_directories(d.target.parent_path());
      platform::replaceInOneStep(platform::fileSystem(), d.fresh, d.target, old, recording);
    }
  } catch (...) {
    std::error_code ec;
    // A file whose old copy went aside and whose new one could not follow: the
    // next start puts it in place from what stays here.
    for (const Damaged& d : damaged) {
      if (fs::exists(record, ec) && !fs::exists(d.target, ec) && fs::exists(d.fresh, ec)) throw;
    }
    fs::remove(record, ec);
    platform::deleteTree(platform::fileSystem(), aside);
    throw;
  }
  // Every file is in place: nothing is left to finish.
  std::error_code ec;
  fs::remove(record, ec);
  platform::deleteTree(platform::fileSystem(), aside);
  return damaged.size();
}

}  // namespace velmora
