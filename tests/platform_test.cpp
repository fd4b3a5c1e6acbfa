#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/console_text.h"
#include "platform/file_system.h"
#include "platform/removal.h"
#include "platform/retry.h"

namespace platform {
namespace {

using std::chrono::milliseconds;

// A scanner holding a file for a while: the operation fails `failures` times with
// `error`, then succeeds.
struct Case {
  int failures;
  std::errc error;
  int calls;      // how often the operation ran
  bool succeeds;  // whether it did in the end
  milliseconds bound = kBusyBound;
};

TEST(RetryWhileBusy, WaitsOutBusyErrorsForABoundedTimeOnly) {
  const Case cases[] = {
      {0, std::errc::device_or_resource_busy, 1, true},
      {3, std::errc::device_or_resource_busy, 4, true},
      {1000, std::errc::device_or_resource_busy, 9, false},  // gives up after about 4.5 s
      {1, std::errc::no_such_file_or_directory, 1, false},   // not busy: fails at once
      {1000, std::errc::device_or_resource_busy, 50, false, kScannerBound},  // about 45.5 s
  };
  for (const Case& c : cases) {
    int calls = 0;
    milliseconds slept{0}, longest{0};
    const std::error_code result = retryWhileBusy(
        [&] { return ++calls > c.failures ? std::error_code() : std::make_error_code(c.error); },
        [](const std::error_code& e) { return e == std::errc::device_or_resource_busy; },
        [&](milliseconds delay) {
          slept += delay;
          longest = std::max(longest, delay);
        },
        c.bound);
    SCOPED_TRACE(c.failures);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(!result, c.succeeds);
    EXPECT_LE(slept, c.bound + milliseconds(1000));
    EXPECT_LE(longest, milliseconds(1000));
  }
}

TEST(CompleteUtf8Length, KeepsACutCharacterForTheNextWrite) {
  const struct {
    std::string text;
    std::size_t complete;
  } cases[] = {
      {"", 0},
      {"plain", 5},
      {"caf\xc3\xa9", 5},
      {"caf\xc3", 3},                // two-byte sequence cut after its lead
      {"\xe2\x82\xac", 3},           // euro sign, whole
      {"a\xe2\x82", 1},              // cut after two of three
      {"a\xf0\x9f\x98", 1},          // cut after three of four
      {"a\xf0\x9f\x98\x80", 5},      // whole four-byte sequence
      {"a\x80\x80\x80\x80", 5},      // stray continuation bytes are not held back
      {std::string("x\xff", 2), 2},  // not UTF-8 at all: the conversion replaces it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(completeUtf8Length(c.text.data(), c.text.size()), c.complete) << c.text;
  }
}

// Answers as Microsoft documents NTFS without the POSIX delete semantics of
// newer systems: a deleted name that another handle (with delete sharing)
// still holds stays, pending, refuses every open and keeps its folder
// non-empty until that handle closes; a mapped file (a running program, a
// mapped data file) cannot be deleted; a file open without delete sharing can
// be neither deleted nor renamed; a folder cannot be renamed while anything
// below it is open; nothing is ever replaced by a rename. Hard links share a
// file and its read-only attribute.
class FakeNtfs : public FileSystem {
 public:
  struct Node {
    bool folder = false;
    int file = 0;
    bool pending = false;
  };
  struct Handle {
    std::string path;  // the name it was opened through, followed through renames
    int file;          // 0 for a folder
    bool shareDelete, mapped;
  };

  milliseconds now{0};
  std::map<std::string, Node> nodes;
  std::map<int, Handle> handles;
  std::set<int> readOnly;                             // files, not names
  std::map<std::string, milliseconds> refusedUntil;   // a scanner in a folder
  std::vector<std::pair<milliseconds, int>> closing;  // handles closed later

  void add(const std::string& path, bool folder = false) {
    for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
      nodes[path.substr(0, at)].folder = true;
    nodes[path] = {folder, folder ? 0 : ++files_};
  }
  void link(const std::string& existing, const std::string& path) {
    add(path);
    nodes[path].file = nodes.at(existing).file;
  }
  int open(const std::string& path, bool shareDelete, bool mapped = false) {
    handles[++handles_] = {path, nodes.at(path).file, shareDelete, mapped};
    return handles_;
  }
  void close(int handle) {
    handles.erase(handle);
    for (auto it = nodes.begin(); it != nodes.end();) {
      const bool gone = it->second.pending && !held(it->first, it->second.file, any);
      it = gone ? nodes.erase(it) : std::next(it);
    }
  }
  // The names below `folder`, relative to it.
  std::set<std::string> below(const std::string& folder) const {
    std::set<std::string> found;
    for (const auto& [path, node] : nodes) {
      if (path.rfind(folder + "/", 0) == 0) found.insert(path.substr(folder.size() + 1));
    }
    return found;
  }

  std::error_code status(const fs::path& path, Entry& entry) override {
    const auto node = nodes.find(path.generic_string());
    if (node == nodes.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    if (node->second.pending) return denied();
    entry = entryOf(node->first, node->second);
    return {};
  }
  std::error_code list(const fs::path& folder, std::vector<Entry>& entries) override {
    Entry self;
    if (const std::error_code ec = status(folder, self)) return ec;
    for (const auto& [path, node] : nodes) {
      if (fs::path(path).parent_path() == folder) entries.push_back(entryOf(path, node));
    }
    return {};
  }
  std::error_code rename(const fs::path& from, const fs::path& to) override {
    const std::string source = from.generic_string(), target = to.generic_string();
    Entry entry;
    if (const std::error_code ec = status(from, entry)) return ec;
    if (nodes.count(target)) return std::make_error_code(std::errc::file_exists);
    const Node node = nodes[source];
    if (held(source, node.file, [](const Handle& h) { return !h.shareDelete; })) return sharing();
    if (node.folder && (refusedUntil[source] > now || !openBelow(source).empty())) return denied();
    for (const std::string& child : below(source)) {
      nodes[target + "/" + child] = nodes[source + "/" + child];
      nodes.erase(source + "/" + child);
    }
    nodes.erase(source);
    nodes[target] = node;
    for (auto& [id, handle] : handles) {
      if (handle.path == source || handle.path.rfind(source + "/", 0) == 0)
        handle.path = target + handle.path.substr(source.size());
    }
    return {};
  }
  std::error_code remove(const fs::path& path, const Entry&) override {
    const std::string name = path.generic_string();
    Entry entry;
    if (const std::error_code ec = status(path, entry)) return ec;
    Node& node = nodes[name];
    if (node.folder && !below(name).empty())
      return std::make_error_code(std::errc::directory_not_empty);
    if (held(name, node.file, [](const Handle& h) { return !h.shareDelete; })) return sharing();
    if (held(name, node.file, [](const Handle& h) { return h.mapped; })) return denied();
    if (held(name, node.file, any))
      node.pending = true;
    else
      nodes.erase(name);
    return {};
  }
  std::error_code makeWritable(const fs::path& file) override {
    readOnly.erase(nodes.at(file.generic_string()).file);
    return {};
  }
  bool busy(const std::error_code& error) const override {
    return error == std::errc::permission_denied || error == std::errc::device_or_resource_busy;
  }
  void sleep(milliseconds delay) override {
    now += delay;
    for (auto it = closing.begin(); it != closing.end();) {
      if (it->first > now) {
        ++it;
        continue;
      }
      close(it->second);
      it = closing.erase(it);
    }
  }

 private:
  static std::error_code denied() { return std::make_error_code(std::errc::permission_denied); }
  static std::error_code sharing() {
    return std::make_error_code(std::errc::device_or_resource_busy);
  }
  Entry entryOf(const std::string& path, const Node& node) const {
    return {fs::path(path).filename(), node.folder, false, readOnly.count(node.file) > 0};
  }
  static bool any(const Handle&) { return true; }
  // A handle on the same file (through any of its names) or on this folder.
  bool held(const std::string& path, int file, const std::function<bool(const Handle&)>& which) {
    for (const auto& [id, handle] : handles) {
      if ((handle.path == path || (file && handle.file == file)) && which(handle)) return true;
    }
    return false;
  }
  std::vector<int> openBelow(const std::string& folder) const {
    std::vector<int> found;
    for (const auto& [id, handle] : handles) {
      if (handle.path.rfind(folder + "/", 0) == 0) found.push_back(id);
    }
    return found;
  }

  int files_ = 0, handles_ = 0;
};

bool isTombstoneOf(const std::string& name, const std::string& of) {
  const std::string start = "." + of + ".";
  return name.size() == start.size() + 12 && name.rfind(start, 0) == 0 &&
         name.compare(name.size() - 4, 4, ".old") == 0;
}

// The one name in `fake` directly in "Versions" that starts with ".<of>.".
std::string tombstoneOf(const FakeNtfs& fake, const std::string& of) {
  std::string found;
  for (const std::string& name : fake.below("Versions")) {
    if (name.find('/') == std::string::npos && isTombstoneOf(name, of)) found = name;
  }
  return found;
}

// A version as the launcher installs it, and the next one sharing its program.
FakeNtfs twoVersions() {
  FakeNtfs fake;
  fake.add("Versions/v1/.complete");
  fake.add("Versions/v1/player.exe");
  fake.add("Versions/v1/content/a.dat");
  fake.add("Versions/v1/content/fonts", true);
  fake.add("Versions/v2/.complete");
  fake.link("Versions/v1/player.exe", "Versions/v2/player.exe");
  return fake;
}

TEST(RemoveAside, TakesAVersionAwayWholeOrLeavesItWhole) {
  const struct {
    const char* what;
    std::function<void(FakeNtfs&)> hold;
    milliseconds wait;
    bool refused;
    std::set<std::string> left;  // what stays in the tombstone until the holders close
  } cases[] = {
      {"nothing holds it", [](FakeNtfs&) {}, milliseconds(0), false, {}},
      {"its game runs",
       [](FakeNtfs& f) { f.open("Versions/v1/player.exe", true, true); },
       kBusyBound,
       true,
       {}},
      {"a program maps a data file",
       [](FakeNtfs& f) { f.open("Versions/v1/content/a.dat", true, true); },
       kBusyBound,
       true,
       {}},
      {"an indexer reads a file with full sharing",
       [](FakeNtfs& f) { f.open("Versions/v1/content/a.dat", true); },
       milliseconds(0),
       true,
       {}},
      // Only the one name of a file that the kept version's game runs stays for later.
      {"the next version's game runs the program both share",
       [](FakeNtfs& f) { f.open("Versions/v2/player.exe", true, true); },
       kBusyBound,
       false,
       {"player.exe"}},
      {"that game also holds its program without delete sharing",
       [](FakeNtfs& f) { f.open("Versions/v2/player.exe", false); },
       milliseconds(0),
       false,
       {"player.exe"}},
      {"a scanner reads it for two seconds",
       [](FakeNtfs& f) { f.refusedUntil["Versions/v1"] = milliseconds(2000); },
       kBusyBound,
       false,
       {}},
      {"... where the prune does not wait",
       [](FakeNtfs& f) { f.refusedUntil["Versions/v1"] = milliseconds(2000); },
       milliseconds(0),
       true,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake = twoVersions();
    c.hold(fake);
    const std::set<std::string> before = fake.below("Versions");
    const Removal removal = removeAside(fake, "Versions/v1", "Versions", c.wait);
    EXPECT_EQ(bool(removal.refused), c.refused);
    EXPECT_EQ(removal.left, !c.left.empty());
    if (c.refused) {
      EXPECT_EQ(fake.below("Versions"), before);  // nothing half deleted
      continue;
    }
    EXPECT_EQ(fake.below("Versions/v2"), (std::set<std::string>{".complete", "player.exe"}));
    const std::string tombstone = tombstoneOf(fake, "v1");
    EXPECT_EQ(fake.below("Versions/" + tombstone), c.left);
    EXPECT_EQ(tombstone.empty(), c.left.empty());
    // A later start takes the rest once the holders have gone.
    while (!fake.handles.empty()) fake.close(fake.handles.begin()->first);
    if (!tombstone.empty()) {
      EXPECT_TRUE(deleteTree(fake, "Versions/" + tombstone));
    }
    EXPECT_EQ(fake.below("Versions"),
              (std::set<std::string>{"v2", "v2/.complete", "v2/player.exe"}));
  }
}

TEST(DeleteTree, LeavesEntriesPendingDeletionAndTheirFoldersForLater) {
  FakeNtfs fake;
  for (const char* path : {"t/a", "t/sub/b", "t/sub/c", "t/gone/d"}) fake.add(path);
  fake.add("t/empty", true);
  // An indexer reads b; d was deleted earlier while a backup agent held its folder.
  const int indexer = fake.open("t/sub/b", true);
  const int backup = fake.open("t/gone", true);
  ASSERT_FALSE(fake.remove("t/gone/d", {}));
  ASSERT_FALSE(fake.remove("t/gone", {}));
  EXPECT_FALSE(deleteTree(fake, "t"));
  EXPECT_EQ(fake.below("t"), (std::set<std::string>{"gone", "sub", "sub/b"}));
  EXPECT_EQ(fake.now, milliseconds(0));  // nothing waited for
  fake.close(indexer);
  fake.close(backup);
  EXPECT_TRUE(deleteTree(fake, "t"));
  EXPECT_TRUE(fake.nodes.empty());
}

TEST(MoveFolder, NeverReplacesAndWaitsForAScannerWithinItsBound) {
  const struct {
    const char* what;
    std::function<void(FakeNtfs&)> before;
    bool moves;
    milliseconds took;  // at least
  } cases[] = {
      {"the name is free", [](FakeNtfs&) {}, true, milliseconds(0)},
      {"a folder without its marker has the name",
       [](FakeNtfs& f) { f.add("Versions/v/content/a.dat"); }, true, milliseconds(0)},
      {"that folder is pending deletion until an Explorer window closes",
       [](FakeNtfs& f) {
         f.add("Versions/v", true);
         f.closing.push_back({milliseconds(1000), f.open("Versions/v", true)});
         f.remove("Versions/v", {});
       },
       true, milliseconds(1000)},
      {"a scanner reads the new version for 20 s",
       [](FakeNtfs& f) { f.refusedUntil["Versions/v.partial"] = milliseconds(20000); }, true,
       milliseconds(20000)},
      {"... for a minute",
       [](FakeNtfs& f) { f.refusedUntil["Versions/v.partial"] = milliseconds(60000); }, false,
       kScannerBound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    fake.add("Versions/v.partial/.complete");
    c.before(fake);
    milliseconds heard{-1};
    const auto move = [&] {
      moveFolder(fake, "Versions/v.partial", "Versions/v", "Versions", kScannerBound,
                 [&](milliseconds waited) { heard = waited; });
    };
    if (c.moves) {
      move();
      EXPECT_EQ(fake.below("Versions/v"), std::set<std::string>{".complete"});
      EXPECT_LT(fake.now, c.took + milliseconds(1000));
    } else {
      try {
        move();
        ADD_FAILURE() << "moved";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "cannot move Versions/v.partial to Versions/v: another program is using it; "
                     "close that program, or wait for a virus scanner to finish, and try again");
      }
      EXPECT_EQ(fake.below("Versions/v.partial"), std::set<std::string>{".complete"});
    }
    EXPECT_GE(fake.now, c.took);
    // The progress line hears of a scanner's wait, up to its last second.
    const bool scanner = c.took >= milliseconds(20000);
    EXPECT_EQ(heard >= milliseconds(0), scanner);
    if (scanner) {
      EXPECT_GE(heard, c.took - milliseconds(1000));
    }
  }
}

TEST(ReplaceFile, SetsTheOldCopyAsideWhateverHoldsIt) {
  const struct {
    const char* what;
    std::function<void(FakeNtfs&)> before;
    std::set<std::string> names;  // in the folder afterwards; "old" stands for the copy set aside
  } cases[] = {
      {"no copy yet", [](FakeNtfs& f) { f.nodes.erase("L/launcher.exe"); }, {"launcher.exe"}},
      {"the old copy runs",
       [](FakeNtfs& f) { f.open("L/launcher.exe", true, true); },
       {"launcher.exe", "old"}},
      {"the shell reads its icon",
       [](FakeNtfs& f) { f.open("L/launcher.exe", true); },
       {"launcher.exe", "old"}},
      {"it is read-only",
       [](FakeNtfs& f) { f.readOnly.insert(f.nodes["L/launcher.exe"].file); },
       {"launcher.exe"}},
      {"the download was read-only",
       [](FakeNtfs& f) { f.readOnly.insert(f.nodes["L/launcher.exe.1.new"].file); },
       {"launcher.exe"}},
      {"a program holds it without delete sharing",
       [](FakeNtfs& f) { f.open("L/launcher.exe", false); },
       {"launcher.exe", "launcher.exe.1.new"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    fake.add("L/launcher.exe");
    fake.add("L/launcher.exe.1.new");
    const int old = fake.nodes["L/launcher.exe"].file,
              fresh = fake.nodes["L/launcher.exe.1.new"].file;
    c.before(fake);
    const bool replaces = !c.names.count("launcher.exe.1.new");
    try {
      replaceFile(fake, "L/launcher.exe.1.new", "L/launcher.exe");
      EXPECT_TRUE(replaces);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(replaces) << e.what();
    }
    std::set<std::string> names;
    for (const std::string& name : fake.below("L")) {
      names.insert(name.rfind("launcher.exe.", 0) == 0 && name.size() == 25 &&
                           name.compare(21, 4, ".old") == 0
                       ? "old"
                       : name);
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(fake.nodes["L/launcher.exe"].file, replaces ? fresh : old);
    if (replaces) {
      EXPECT_FALSE(fake.readOnly.count(fresh));
    }
  }
}

}  // namespace
}  // namespace platform
