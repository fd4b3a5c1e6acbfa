#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>

#include "helpers.h"
#include "install/package.h"
#include "platform/platform.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Entry names are UTF-8, as in the launcher, which sets this up first thing.
const bool kUtf8Names = (platform::initialise(), true);

struct Entry {
  std::string name, data;
  unsigned type = AE_IFREG;
  int perm = 0644;
  std::string symlink = {}, hardlink = {};
};

void writeZip(const fs::path& file, const std::vector<Entry>& entries) {
  std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                              &archive_write_free);
  archive_write_set_format_zip(zip.get());
  ASSERT_EQ(archive_write_open_filename(zip.get(), file.c_str()), ARCHIVE_OK);
  for (const Entry& e : entries) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                        &archive_entry_free);
    archive_entry_set_pathname(entry.get(), e.name.c_str());
    archive_entry_set_filetype(entry.get(), e.type);
    archive_entry_set_perm(entry.get(), e.perm);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
    if (!e.symlink.empty()) archive_entry_set_symlink(entry.get(), e.symlink.c_str());
    if (!e.hardlink.empty()) archive_entry_set_hardlink(entry.get(), e.hardlink.c_str());
    ASSERT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK) << e.name;
    ASSERT_EQ(archive_write_data(zip.get(), e.data.data(), e.data.size()),
              static_cast<la_ssize_t>(e.data.size()));
  }
  ASSERT_EQ(archive_write_close(zip.get()), ARCHIVE_OK);
}

std::set<std::string> names(const fs::path& folder) {
  std::set<std::string> result;
  for (const auto& entry : fs::directory_iterator(folder)) result.insert(entry.path().filename());
  return result;
}

// The writer refuses an empty name, so this one-entry archive is laid out by
// hand: an empty stored file at offset 0, its directory entry, the end record.
std::string zipWithEmptyName() {
  return std::string("PK\3\4", 4) + std::string(26, '\0') + std::string("PK\1\2", 4) +
         std::string(42, '\0') + std::string("PK\5\6", 4) + std::string(4, '\0') +
         std::string("\1\0\1\0\56\0\0\0\36\0\0\0\0\0", 14);
}

TEST(ExtractArchive, RefusesHostileOrDamagedArchivesAndWritesNothingOutside) {
  const std::string escape = "refusing entry outside the destination: ",
                    absolute = "refusing absolute or empty entry name: ",
                    device = "refusing device name in entry: ",
                    notFile = "refusing entry that is neither a file nor a folder: ";
  const std::vector<Entry> two = {{"a.txt", "first entry"}, {"b.txt", "second entry"}};
  struct Case {
    std::vector<Entry> entries;
    std::string reason;  // after the common prefix; empty when the library words it
    std::string (*damage)(std::string) = nullptr;
  } cases[] = {
      {{{"../x", "x"}}, escape + "../x"},
      {{{"..\\x", "x"}}, escape + "../x"},
      // The library turns '\' into '/' only in names without a '/'; here it is ours to do.
      {{{"a/..\\..\\x", "x"}}, escape + "a/../../x"},
      {{{"/abs", "x"}}, absolute + "/abs"},
      {{{"c:\\x", "x"}}, absolute + "c:/x"},
      {{{"\\\\server\\share\\x", "x"}}, absolute + "//server/share/x"},
      {{}, absolute, [](std::string) { return zipWithEmptyName(); }},
      {{{"link", "", AE_IFLNK, 0777, "../outside"}, {"link/pwned", "x"}}, notFile + "link"},
      {{{"a.txt", "x"}, {"s", "", AE_IFLNK, 0777, "/etc"}}, notFile + "s"},
      {{{"con/x", "x"}}, device + "con/x"},
      {{{"a/LPT1 .log/b", "x"}}, device + "a/LPT1 .log/b"},
      {{{"com\xc2\xb9.txt", "x"}}, device + "com\xc2\xb9.txt"},
      {{{".", "x"}}, "refusing entry that names the destination itself: ."},
      {{{"a/b.txt:hidden", "x"}}, "refusing entry name with ':': a/b.txt:hidden"},
      // Windows would write these under another name.
      {{{"a./x", "x"}}, "refusing entry name ending in a dot or a blank: a./x"},
      // A cut central directory: the entries alone still read front to back.
      {two, "", [](std::string zip) { return zip.substr(0, zip.size() - 30); }},
      // The second entry's local header signature.
      {two, "", [](std::string zip) { return zip.replace(zip.find("PK\3\4", 4), 2, "XX"); }},
      // The first entry's first compressed byte.
      {two, "",
       [](std::string zip) {
         const auto at =
             30 + static_cast<unsigned char>(zip[26]) + static_cast<unsigned char>(zip[28]);
         zip[at] = static_cast<char>(zip[at] ^ 0x55);
         return zip;
       }},
      {{}, "", [](std::string) { return std::string("<html><body>Not Found</body></html>"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases) + ": " + c.reason);
    TempDir tmp;
    const fs::path zip = tmp.path() / "package.zip", outside = tmp.path() / "outside";
    fs::create_directories(outside);
    writeFile(outside / "keep", "original");
    writeZip(zip, c.entries);
    if (c.damage) writeFile(zip, c.damage(readFile(zip)));
    const std::string prefix = "extracting " + zip.string() + " failed: ";
    try {
      extractArchive(zip, tmp.path() / "dest");
      ADD_FAILURE() << "extracted";
    } catch (const std::runtime_error& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.substr(0, c.reason.empty() ? prefix.size() : std::string::npos),
                prefix + c.reason);
      EXPECT_GT(message.size(), prefix.size());
    }
    std::set<std::string> left = names(tmp.path());
    left.erase("dest");
    EXPECT_EQ(left, (std::set<std::string>{"outside", "package.zip"}));
    EXPECT_EQ(names(outside), std::set<std::string>{"keep"});
    EXPECT_EQ(readFile(outside / "keep"), "original");
  }
}

TEST(ExtractArchive, WritesFilesAndFoldersInside) {
  TempDir tmp;
  const fs::path outside = tmp.path() / "outside";
  fs::create_directories(outside);
  writeFile(outside / "t", "original");
  // Reached through a linked folder, as under a linked home folder.
  fs::create_directories(tmp.path() / "real");
  fs::create_directory_symlink(tmp.path() / "real", tmp.path() / "linked");
  const fs::path dest = tmp.path() / "linked" / "dest";
  writeZip(tmp.path() / "one.zip",
           {{"./", "", AE_IFDIR, 0500},  // must not lock the destination
            {"top/", "", AE_IFDIR, 0500},
            {"top/ro.txt", "ro", AE_IFREG, 0400},
            {"top/mid/deep/f.txt", "deep"},  // no entries for its folders
            {"a\\b.txt", "back"},
            {"a/c\\d.txt", "mixed"},
            {"h", "", AE_IFREG, 0644, "", "../outside/t"}});  // ZIP cannot carry the link
  // A trailing separator, as the package table's destinations have.
  extractArchive(tmp.path() / "one.zip", dest / "");
  for (const auto& [path, data] :
       std::vector<std::pair<std::string, std::string>>{{"top/mid/deep/f.txt", "deep"},
                                                        {"a/b.txt", "back"},
                                                        {"a/c/d.txt", "mixed"},
                                                        {"h", ""}}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest / path))) << path;
    EXPECT_EQ(readFile(dest / path), data) << path;
  }
  EXPECT_EQ(readFile(outside / "t"), "original");
  EXPECT_EQ(names(dest), (std::set<std::string>{"top", "a", "h"}));
  // A later update must be able to remove what was written, whatever modes the archive had.
  for (const fs::path& p : {dest, dest / "top", dest / "top/ro.txt"}) {
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::owner_write, fs::perms::owner_write) << p;
  }
}

}  // namespace
}  // namespace velmora
