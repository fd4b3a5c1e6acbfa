#include "install/release/file_list.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "helpers.h"
#include "install/package.h"
#include "install/release/release.h"

namespace velmora {
namespace {

const std::string kHash(64, 'a');

std::string fileLine(const std::string& name, const std::string& numbers = "3 644 0 0 36 3") {
  return "file " + kHash + " " + numbers + " " + name + "\n";
}

// The list arrives before anything is verified and names files the launcher writes.
TEST(FileList, RefusesWhatCouldLeaveTheVersionOrLieAboutAnEntry) {
  const std::string head = "files 1 v\npackage a.zip\n";
  const auto wide = [](const std::string& name) { return fileLine(name, "3 644 0 0 60 3"); };
  const std::pair<std::string, std::string> cases[] = {
      {head + fileLine("../x"), "line 3: name outside its folder: ../x"},
      {head + fileLine("/etc/x"), "line 3: refusing absolute or empty entry name: /etc/x"},
      {head + fileLine("ab:c"), "line 3: refusing entry name with ':': ab:c"},
      {head + fileLine("a\\x"), "line 3: invalid name: a\\x"},
      {head + fileLine("\xc0\xafx"), "line 3: name is not UTF-8: \xc0\xafx"},
      {head + fileLine("a//x"), "line 3: name outside its folder: a//x"},
      {head + fileLine("x."), "line 3: refusing entry name ending in a dot or a blank: x."},
      {head + "folder ../\n", "line 3: name outside its folder: ../"},
      {head + "folder a\n", "line 3: invalid folder line"},
      {head + fileLine("x") + fileLine("X"), "line 4: listed twice: X"},
      {head + "folder x/\n" + fileLine("x"), "line 4: listed twice: x"},
      // One name to NTFS in every script: a repair would replace one with the other for ever.
      {head + wide("\xc3\x89.txt") + wide("\xc3\xa9.txt"), "line 4: listed twice: \xc3\xa9.txt"},
      {head + wide("f\xc4\xb1le") + wide("FILE"), "line 4: listed twice: FILE"},  // dotless i
      {head + wide("\xf0\x90\x90\x80") + wide("\xf0\x90\x90\xa8"),
       "line 4: listed twice: \xf0\x90\x90\xa8"},  // Deseret, beyond UTF-16's first plane
      {head + fileLine("x", "3 600 0 0 36 3"), "line 3: invalid file line"},
      {head + fileLine("x", "3 644 9 0 36 3"), "line 3: invalid file line"},
      {head + fileLine("x", "281474976710657 644 8 0 36 3"), "line 3: invalid file line"},
      {head + fileLine("x/", "3 644 0 0 36 3"), "line 3: invalid file line"},
      {head + fileLine("x", "3 644 0 0 33 3"),
       "line 3: entry length does not fit its header and data: x"},
      {head + fileLine("x", "3 644 0 0 131106 3"),
       "line 3: entry length does not fit its header and data: x"},
      {head + fileLine("x", "4 644 0 0 36 3"),
       "line 3: stored entry with another compressed size: x"},
      {head + "package a.zip\n", "line 3: package listed twice: a.zip"},
      {"files 1 v\n" + fileLine("x"), "line 2: no package line before it"},
      {"files 2 v\n", "line 1: expected \"files 1 <version>\""},
      {head + "link a b\n", "line 3: unknown line"},
  };
  // Two names to NTFS, whatever a full case folding says.
  for (const char* other : {"ss", "\xc4\xb0"}) {
    const std::string pair = head + wide("\xc3\x9f") + wide(other);
    EXPECT_NO_THROW(parseFileList(pair)) << pair;
  }
  for (const auto& [text, error] : cases)
    EXPECT_EQ(errorOf([&] { parseFileList(text); }), "invalid file list: " + error) << text;
}

// A list whose entries lie outside the archive or over each other describes another archive.
TEST(FileList, MustFitTheSignedRelease) {
  Release release;
  release.version = "v";
  std::string text = "files 1 v\n";
  for (const Package& package : kPackages) {
    release.archives.push_back({package.archive, 100, kHash});
    text += "package " + std::string(package.archive) + "\n";
  }
  release.archives.push_back({kStudioPackage.archive, 100, kHash});
  const std::string studio = "package " + std::string(kStudioPackage.archive) + "\n";
  EXPECT_NO_THROW(
      checkFileList(parseFileList(text + studio + fileLine("a", "3 644 0 64 36 3")), release));
  const std::pair<std::string, std::string> cases[] = {
      {studio + fileLine("a", "3 644 0 65 36 3"), "an entry of WindowsStudio.zip lies outside it"},
      {studio + fileLine("a", "3 644 0 0 36 3") + fileLine("b", "3 644 0 35 36 3"),
       "an entry of WindowsStudio.zip lies outside it or over another"},
      {"", "it does not list exactly the release's packages"},
  };
  for (const auto& [tail, expected] : cases) {
    const std::string error = errorOf([&] { checkFileList(parseFileList(text + tail), release); });
    EXPECT_EQ(error.rfind("invalid file list: " + expected, 0), 0u) << error;
  }
  release.version = "w";
  EXPECT_THROW(checkFileList(parseFileList(text + studio), release), std::runtime_error);
}

}  // namespace
}  // namespace velmora
