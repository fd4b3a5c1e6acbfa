#include "install/reuse.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers.h"

namespace velmora {
namespace {

// The record names paths that an update links or copies: none may lead out. That what is
// written reads back, and how a cut record is told, is what the install suites see.
TEST(FilesRecord, RefusesDamageAndPathsOutsideTheVersion) {
  const std::string hash(64, 'c'), head = "package " + hash + " a.zip\n",
                                   file = "file " + hash + " 1 ";
  const std::string outside = "line 2: path outside the version folder";
  const std::pair<std::string, std::string> cases[] = {
      {head + file + "../x\n", outside},
      {head + file + "/etc/x\n", outside},
      {head + file + "a//x\n", outside},
      {head + file + "a\\..\\x\n", outside},
      {head + file + "C:x\n", outside},
      {head + "folder ../\n", outside},
      {head + "folder a\n", "line 2: invalid folder line"},
      {head + file + "a/\n", "line 2: invalid file line"},
      {head + "file " + hash + " -1 x\n", "line 2: invalid file line"},
      {head + "file " + hash.substr(1) + "g 1 x\n", "line 2: invalid file line"},
      {file + "x\n", "line 1: no package line before it"},
      {"package " + hash + "\n", "line 1: invalid package line"},
      {"package " + hash + " a.zip " + hash.substr(1) + "\n", "line 1: invalid package line"},
      {head + "link a b\n", "line 2: unknown line"},
      {head + file + "x", "line 2: missing line end"},
  };
  for (const auto& [text, error] : cases)
    EXPECT_EQ(errorOf([&] { parseFilesRecord(text); }), "invalid files record: " + error) << text;
}

// As launchers before the tie wrote it: read, but never taken for whole.
TEST(FilesRecord, OneWithoutItsTieIsNotIntact) {
  EXPECT_FALSE(intact(parseFilesRecord("package " + std::string(64, 'c') + " a.zip\n").at(0)));
}

}  // namespace
}  // namespace velmora
