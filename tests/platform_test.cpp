#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <regex>
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

using namespace std::chrono_literals;
using std::chrono::milliseconds;

TEST(CompleteUtf8Length, KeepsACutCharacterForTheNextWrite) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"caf\xc3", 3},                // two-byte sequence cut after its lead
      {"a\xe2\x82", 1},              // cut after two of three
      {"a\xf0\x9f\x98", 1},          // cut after three of four
      {"a\xf0\x9f\x98\x80", 5},      // whole four-byte sequence
      {"a\x80\x80\x80\x80", 5},      // stray continuation bytes are not held back
      {std::string("x\xff", 2), 2},  // not UTF-8 at all: the conversion replaces it
  };
  for (const auto& [text, complete] : cases)
    EXPECT_EQ(completeUtf8Length(text.data(), text.size()), complete) << text;
}

// Answers as Microsoft documents NTFS without the POSIX delete semantics of
// newer systems: a deleted name that another handle (with delete sharing)
// still holds stays, pending, refuses every open and keeps its folder
// non-empty until that handle closes; a mapped file (a running program, a
// mapped data file) cannot be deleted; a file open without delete sharing can
// be neither deleted nor renamed; a folder cannot be renamed while anything
// below it is open; a rename never replaces. Hard links share a file.
class FakeNtfs : public FileSystem {
 public:
  struct Node {
    bool folder = false;
    int file = 0;
    bool pending = false;
  };
  struct Handle {
    std::string path;  // followed through renames
    int file;
    bool shareDelete, mapped;
  };

  milliseconds now{0};
  std::map<std::string, Node> nodes;
  std::map<int, Handle> handles;
  std::map<std::string, milliseconds> refusedUntil;           // a scanner in a folder
  std::function<void(const std::string& from)> beforeRename;  // another program, just before

  void add(const std::string& path, bool folder = false, const std::string& linkTo = "") {
    for (std::size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
      nodes[path.substr(0, at)].folder = true;
    nodes[path] = {folder, folder ? 0 : linkTo.empty() ? ++count_ : nodes.at(linkTo).file};
  }
  int open(const std::string& path, bool shareDelete, bool mapped = false) {
    handles[++count_] = {path, nodes.at(path).file, shareDelete, mapped};
    return count_;
  }
  void close(int handle) {
    handles.erase(handle);
    for (auto it = nodes.begin(); it != nodes.end();)
      it = it->second.pending && !held(it->first, any) ? nodes.erase(it) : std::next(it);
  }
  // The names below `folder`, relative to it, tombstones' random part as "*".
  std::set<std::string> below(const std::string& folder) const {
    std::set<std::string> found;
    for (const auto& [path, node] : nodes) {
      if (path.rfind(folder + "/", 0) == 0)
        found.insert(std::regex_replace(path.substr(folder.size() + 1),
                                        std::regex("\\.[0-9a-f]{8}\\.old"), ".*.old"));
    }
    return found;
  }

  std::error_code status(const fs::path& path, Entry& entry) override {
    const auto node = nodes.find(path.generic_string());
    if (node == nodes.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    if (node->second.pending) return denied();
    entry = {path.filename(), node->second.folder};
    return {};
  }
  std::error_code list(const fs::path& folder, std::vector<Entry>& entries) override {
    Entry entry;
    if (const std::error_code ec = status(folder, entry)) return ec;
    for (const auto& [path, node] : nodes) {
      if (fs::path(path).parent_path() == folder)
        entries.push_back({fs::path(path).filename(), node.folder});
    }
    return {};
  }
  std::error_code rename(const fs::path& from, const fs::path& to) override {
    const std::string source = from.generic_string(), target = to.generic_string();
    if (beforeRename) beforeRename(source);
    Entry entry;
    if (const std::error_code ec = status(from, entry)) return ec;
    if (nodes.count(target)) return std::make_error_code(std::errc::file_exists);
    if (held(source, [](const Handle& h) { return !h.shareDelete; })) return sharing();
    const bool openBelow = std::any_of(handles.begin(), handles.end(), [&](const auto& h) {
      return h.second.path.rfind(source + "/", 0) == 0;
    });
    if (entry.folder && (refusedUntil[source] > now || openBelow)) return denied();
    std::map<std::string, Node> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
      const bool inside = it->first == source || it->first.rfind(source + "/", 0) == 0;
      if (inside) moved[target + it->first.substr(source.size())] = it->second;
      it = inside ? nodes.erase(it) : std::next(it);
    }
    nodes.insert(moved.begin(), moved.end());
    for (auto& [id, handle] : handles) {
      if (handle.path == source || handle.path.rfind(source + "/", 0) == 0)
        handle.path = target + handle.path.substr(source.size());
    }
    return {};
  }
  // Refused while anything holds the old copy: no POSIX rename semantics either.
  std::error_code replace(const fs::path& from, const fs::path& to) override {
    const std::string target = to.generic_string();
    if (nodes.count(target) && held(target, any)) return denied();
    Entry entry;
    if (const std::error_code ec = status(from, entry)) return ec;
    if (held(from.generic_string(), [](const Handle& h) { return !h.shareDelete; }))
      return sharing();
    nodes.erase(target);
    return rename(from, to);
  }
  std::error_code remove(const fs::path& path, const Entry&) override {
    const std::string name = path.generic_string();
    Entry entry;
    if (const std::error_code ec = status(path, entry)) return ec;
    if (!below(name).empty()) return std::make_error_code(std::errc::directory_not_empty);
    if (held(name, [](const Handle& h) { return !h.shareDelete; })) return sharing();
    if (held(name, [](const Handle& h) { return h.mapped; })) return denied();
    if (held(name, any))
      nodes[name].pending = true;
    else
      nodes.erase(name);
    return {};
  }
  std::error_code makeWritable(const fs::path&) override { return {}; }
  bool busy(const std::error_code& error) const override {
    return error == std::errc::permission_denied || error == std::errc::device_or_resource_busy;
  }
  void sleep(milliseconds delay) override { now += delay; }

 private:
  static std::error_code denied() { return std::make_error_code(std::errc::permission_denied); }
  static std::error_code sharing() {
    return std::make_error_code(std::errc::device_or_resource_busy);
  }
  static bool any(const Handle&) { return true; }
  // A handle on this name, or on the same file through any of its names.
  bool held(const std::string& path, bool (*which)(const Handle&)) const {
    const int file = nodes.at(path).file;
    return std::any_of(handles.begin(), handles.end(), [&](const auto& h) {
      return (h.second.path == path || (file && h.second.file == file)) && which(h.second);
    });
  }

  int count_ = 0;
};

TEST(RemoveAside, TakesAVersionAwayWholeOrLeavesItWhole) {
  const struct {
    const char* what;
    const char* held;  // opened with delete sharing and mapped, as programs run and map files
    milliseconds scanner, wait;
    bool refused;
    std::set<std::string> left;  // in the tombstone until the holder closes
  } cases[] = {
      {"a program maps a data file", "v1/content/a.dat", 0ms, kBusyBound, true, {}},
      {"v2's game runs the program", "v2/p", 0ms, 0ms, false, {".v1.*.old", ".v1.*.old/p"}},
      {"a scanner reads it for two seconds", nullptr, 2000ms, kBusyBound, false, {}},
      {"... where the prune does not wait", nullptr, 2000ms, 0ms, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    for (const char* path : {"v1/.complete", "v1/p", "v1/content/a.dat", "v2/.complete"})
      fake.add(std::string("Versions/") + path);
    fake.add("Versions/v2/p", false, "Versions/v1/p");
    if (c.held) fake.open("Versions/" + std::string(c.held), true, true);
    fake.refusedUntil["Versions/v1"] = c.scanner;
    const std::set<std::string> before = fake.below("Versions");
    const Removal removal = removeAside(fake, "Versions/v1", "Versions", c.wait);
    EXPECT_EQ(bool(removal.refused), c.refused);
    EXPECT_EQ(removal.left, !c.left.empty());
    // Nothing half deleted: whole, or the name gone and only what is held left.
    std::set<std::string> expected = {"v2", "v2/.complete", "v2/p"};
    expected.insert(c.left.begin(), c.left.end());
    EXPECT_EQ(fake.below("Versions"), c.refused ? before : expected);
  }
}

TEST(DeleteTree, LeavesEntriesPendingDeletionAndTheirFoldersForLater) {
  FakeNtfs fake;
  for (const char* path : {"t/a", "t/sub/b", "t/sub/c", "t/gone/d"}) fake.add(path);
  // An indexer reads b; d was deleted earlier while a backup agent held its folder.
  const int indexer = fake.open("t/sub/b", true), backup = fake.open("t/gone", true);
  ASSERT_FALSE(fake.remove("t/gone/d", {}) || fake.remove("t/gone", {}));
  EXPECT_FALSE(deleteTree(fake, "t"));
  EXPECT_EQ(fake.below("t"), (std::set<std::string>{"gone", "sub", "sub/b"}));
  EXPECT_EQ(fake.now, 0ms);  // nothing waited for
  fake.close(indexer);
  fake.close(backup);
  EXPECT_TRUE(deleteTree(fake, "t"));
  EXPECT_TRUE(fake.nodes.empty());
}

TEST(MoveFolder, NeverReplacesAndWaitsForAScannerWithinItsBound) {
  const struct {
    const char* what;
    bool taken;  // by a folder without its marker
    milliseconds scanner;
    bool moves;
  } cases[] = {
      {"a folder without its marker has the name", true, 0ms, true},
      {"a scanner reads the new version for 20 s", false, 20000ms, true},
      {"... for a minute", true, 60000ms, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    fake.add("Versions/v.partial/.complete");
    if (c.taken) fake.add("Versions/v/content/a.dat");
    fake.refusedUntil["Versions/v.partial"] = c.scanner;
    milliseconds heard{-1};
    try {
      moveFolder(fake, "Versions/v.partial", "Versions/v", "Versions", kScannerBound,
                 [&](milliseconds waited) { heard = waited; });
      EXPECT_TRUE(c.moves);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(c.moves);
      EXPECT_STREQ(e.what(),
                   "cannot move Versions/v.partial to Versions/v: another program is using it; "
                   "close that program, or wait for a virus scanner to finish, and try again");
    }
    EXPECT_EQ(fake.below("Versions"),
              (std::set<std::string>{c.moves ? "v" : "v.partial",
                                     c.moves ? "v/.complete" : "v.partial/.complete"}));
    const milliseconds waited = std::min(c.scanner, kScannerBound);
    EXPECT_TRUE(fake.now >= waited && fake.now < waited + 1000ms);
    // The progress line hears of a scanner's wait, up to its last second.
    EXPECT_EQ(heard >= 0ms, c.scanner > 0ms);
    EXPECT_GE(heard, waited - 1000ms);
  }
}

TEST(ReplaceFile, SetsTheOldCopyAsideWhateverHoldsIt) {
  const struct {
    const char* what;
    const char* held;
    bool shareDelete, raced;
    std::set<std::string> names;  // afterwards: the old copy stays registered when one fails
  } cases[] = {
      {"the shell reads its icon", "a", true, false, {"a", "a.*.old"}},
      {"a program holds it without delete sharing", "a", false, false, {"a", "a.new"}},
      {"a scanner holds the new copy", "a.new", false, false, {"a", "a.new"}},
      // Another start moves its copy in between ours setting the old one aside and moving in.
      {"a race", nullptr, false, true, {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    fake.add("L/a");
    fake.add("L/a.new");
    const int fresh = fake.nodes["L/a.new"].file;
    if (c.held) fake.open("L/" + std::string(c.held), c.shareDelete);
    int raced = 0;
    fake.beforeRename = [&](const std::string& from) {
      if (c.raced && from == "L/a.new" && !raced++) fake.add("L/a");
    };
    const bool replaces = !c.names.count("a.new");
    try {
      replaceFile(fake, "L/a.new", "L/a");
      EXPECT_TRUE(replaces);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(replaces) << e.what();
    }
    EXPECT_EQ(fake.below("L"), c.names);
    EXPECT_EQ(fake.nodes["L/a"].file == fresh, replaces);
    EXPECT_EQ(fake.now > 0ms, !replaces);  // only what is busy is waited for
  }
}

TEST(ReplaceInOneStep, TakesTwoStepsOnlyForACopyInUseAndAKillBetweenThemLosesNothing) {
  const struct {
    const char* what;
    bool running, killed;
    std::set<std::string> names;
  } cases[] = {
      {"nothing holds the old copy", false, false, {"a.dll", "new", "old"}},
      {"the old copy runs", true, false, {"a.dll", "new", "old", "old/.a.dll.*.old"}},
      {"killed between the steps", true, true, {"a.dll", "new", "old", "old/.a.dll.*.old"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeNtfs fake;
    fake.add("V/a.dll");
    fake.add("V/new", true);
    fake.add("V/new/a.dll");
    fake.add("V/old", true);
    const int fresh = fake.nodes["V/new/a.dll"].file;
    if (c.running) fake.open("V/a.dll", true, true);
    fake.beforeRename = [&](const std::string& from) {
      if (c.killed && from == "V/new/a.dll") throw std::logic_error("killed");
    };
    int recorded = 0;
    try {
      replaceInOneStep(fake, "V/new/a.dll", "V/a.dll", "V/old", [&] { recorded++; });
    } catch (const std::logic_error&) {
      EXPECT_FALSE(fake.nodes.count("V/a.dll"));
      fake.beforeRename = {};
      EXPECT_TRUE(finishReplacement(fake, "V/new/a.dll", "V/a.dll"));
    }
    EXPECT_EQ(recorded, c.running ? 1 : 0);
    EXPECT_EQ(fake.nodes["V/a.dll"].file, fresh);
    // A finished or whole replacement is left alone.
    EXPECT_FALSE(finishReplacement(fake, "V/new/a.dll", "V/a.dll"));
    EXPECT_EQ(fake.below("V"), c.names);
  }
}

}  // namespace
}  // namespace platform
