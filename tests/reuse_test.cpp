#include "install/reuse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/sha256.h"
#include "temp_dir.h"

namespace velmora {
namespace {

const std::string kHash(64, 'c');

std::string sha256Hex(const std::string& bytes) {
  platform::Sha256 hash;
  hash.update(bytes.data(), bytes.size());
  return hash.hex();
}

TEST(FilesRecord, WritesAndReadsBack) {
  const std::vector<PackageRecord> records = {
      {"WindowsPlayer.zip", kHash, {{"content/", 0, ""}, {"content/a b.txt", 12, kHash}}},
      {"shaders.zip", std::string(64, '0'), {}},
      {"content-fonts.zip", kHash, {{"content/fonts/f", 9223372036854775807u, kHash}}},
  };
  const std::string text = formatFilesRecord(records);
  const std::string lines = "folder content/\nfile " + kHash + " 12 content/a b.txt\n";
  const std::string start = "package " + kHash + " WindowsPlayer.zip " +
                            sha256Hex(kHash + " WindowsPlayer.zip\n" + lines) + "\n" + lines;
  EXPECT_EQ(text.substr(0, start.size()), start);
  const std::vector<PackageRecord> back = parseFilesRecord(text);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].files[1].path, "content/a b.txt");
  EXPECT_EQ(back[0].files[1].size, 12u);
  EXPECT_EQ(back[2].files[0].size, 9223372036854775807u);
  EXPECT_EQ(formatFilesRecord(back), text);
  for (const PackageRecord& record : back) EXPECT_TRUE(intact(record)) << record.archive;
  // As launchers before the tie wrote it: read, but not intact.
  const std::vector<PackageRecord> old = parseFilesRecord("package " + kHash + " a.zip\n");
  EXPECT_EQ(old[0].archive, "a.zip");
  EXPECT_FALSE(intact(old[0]));
}

// The record names paths that an update links or copies: none may lead out.
TEST(FilesRecord, RefusesDamageAndPathsOutsideTheVersion) {
  const std::string head = "package " + kHash + " a.zip\n";
  const std::string file = "file " + kHash + " 1 ";
  struct Case {
    std::string text, error;
  } cases[] = {
      {head + file + "../x\n", "line 2: path outside the version folder"},
      {head + file + "/etc/x\n", "line 2: path outside the version folder"},
      {head + file + "a//x\n", "line 2: path outside the version folder"},
      {head + file + "a\\..\\x\n", "line 2: path outside the version folder"},
      {head + file + "C:x\n", "line 2: path outside the version folder"},
      {head + "folder ../\n", "line 2: path outside the version folder"},
      {head + "folder a\n", "line 2: invalid folder line"},
      {head + file + "a/\n", "line 2: invalid file line"},
      {head + "file " + kHash + " -1 x\n", "line 2: invalid file line"},
      {head + "file " + kHash.substr(1) + "g 1 x\n", "line 2: invalid file line"},
      {file + "x\n", "line 1: no package line before it"},
      {"package " + kHash + "\n", "line 1: invalid package line"},
      {"package " + kHash + " a.zip " + kHash.substr(1) + "\n", "line 1: invalid package line"},
      {head + "link a b\n", "line 2: unknown line"},
      {head + file + "x", "line 2: missing line end"},
  };
  for (const auto& c : cases) {
    try {
      parseFilesRecord(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "invalid files record: " + c.error) << c.text;
    }
  }
}

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// What each thing done to a carried file does to its identity: a carry's own
// links leave it, anything that writes or replaces it changes it.
TEST(FileIdentity, TellsWritesAndReplacementsFromLinks) {
  const fs::file_time_type then = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  const struct {
    const char* what;
    std::function<void(const fs::path&)> change;
    bool same;
  } cases[] = {
      {"a second link", [](const fs::path& f) { fs::create_hard_link(f, f.string() + ".2"); },
       true},
      {"a second link removed",
       [](const fs::path& f) {
         fs::create_hard_link(f, f.string() + ".2");
         fs::remove(f.string() + ".2");
       },
       true},
      {"its mode", [](const fs::path& f) { fs::permissions(f, fs::perms::owner_read); }, true},
      {"written in place",
       [](const fs::path& f) {
         std::fstream(f, std::ios::in | std::ios::out | std::ios::binary) << "B";
       },
       false},
      // What only a full check catches.
      {"written in place, times put back",
       [&](const fs::path& f) {
         std::fstream(f, std::ios::in | std::ios::out | std::ios::binary) << "B";
         fs::last_write_time(f, then);
       },
       true},
      {"replaced by a copy with its size and times",
       [&](const fs::path& f) {
         writeFile(f.string() + ".new", "Bbc");
         fs::last_write_time(f.string() + ".new", then);
         fs::rename(f.string() + ".new", f);
       },
       false},
      {"removed and restored with its times",
       [&](const fs::path& f) {
         fs::remove(f);
         std::this_thread::sleep_for(std::chrono::milliseconds(20));
         writeFile(f, "Bbc");
         fs::last_write_time(f, then);
       },
       false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const fs::path file = dir.path() / "a";
    writeFile(file, "abc");
    fs::last_write_time(file, then);
    const auto before = platform::fileIdentity(file);
    ASSERT_TRUE(before) << c.what;
    c.change(file);
    EXPECT_EQ(platform::fileIdentity(file) == before, c.same) << c.what;
    fs::permissions(file, fs::perms::owner_all);
  }
  TempDir dir;
  fs::create_directory(dir.path() / "folder");
  EXPECT_FALSE(platform::fileIdentity(dir.path() / "folder"));
  EXPECT_FALSE(platform::fileIdentity(dir.path() / "missing"));
}

}  // namespace
}  // namespace velmora
