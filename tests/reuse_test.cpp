#include "install/reuse.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/sha256.h"

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

}  // namespace
}  // namespace velmora
