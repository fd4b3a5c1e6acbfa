#include "install/entries.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "helpers.h"
#include "platform/sha256.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string sha256(const std::string& bytes) {
  platform::Sha256 hash;
  hash.update(bytes.data(), bytes.size());
  return hash.hex();
}

std::string le(std::uint64_t value, int width) {
  std::string out;
  for (int i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

std::string deflateRaw(const std::string& data, int strategy) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, strategy);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// An archive's local entries laid end to end, each listed as the publishing tool lists it.
struct Archive {
  std::string bytes;
  std::vector<ListedFile> files;

  void add(const std::string& name, const std::string& data, bool deflated,
           const std::string& extra = "", int strategy = Z_DEFAULT_STRATEGY) {
    const std::string stored = deflated ? deflateRaw(data, strategy) : data;
    ListedFile file;
    file.name = name;
    file.size = data.size();
    file.sha256 = sha256(data);
    file.method = deflated ? Compression::deflated : Compression::stored;
    file.offset = bytes.size();
    file.compressedSize = stored.size();
    bytes += le(0x04034b50, 4) + le(20, 2) + le(0, 2) + le(deflated ? 8 : 0, 2) + le(0, 8) +
             le(static_cast<std::uint32_t>(stored.size()), 4) +
             le(static_cast<std::uint32_t>(data.size()), 4) +
             le(static_cast<std::uint32_t>(name.size()), 2) +
             le(static_cast<std::uint32_t>(extra.size()), 2) + name + extra + stored;
    file.length = bytes.size() - file.offset;
    files.push_back(file);
  }
};

// Feeds a span's bytes in pieces of random size, as a transfer delivers them.
void feed(EntrySink& sink, const std::string& archive, const EntrySpan& span, unsigned seed) {
  std::mt19937 random(seed);
  std::uint64_t at = span.first;
  while (at <= span.last) {
    const std::uint64_t piece = std::min<std::uint64_t>(1 + random() % 700, span.last + 1 - at);
    sink.write(archive.data() + at, static_cast<std::size_t>(piece));
    at += piece;
  }
}

std::string big(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += "texel " + std::to_string(random() % 1000) + "\n";
  return text.substr(0, size);
}

// A span sent again from its start (a host that restarted the body) is written again, whole.
TEST(EntrySink, WritesASpanSentAgainFromItsStart) {
  TempDir dir;
  Archive zip;
  zip.add("a.txt", "alpha", false);
  zip.add("b.txt", big(5000, 2), true);
  const EntrySpan span{
      0,
      zip.bytes.size() - 1,
      {{&zip.files[0], dir.path() / "a.txt"}, {&zip.files[1], dir.path() / "b.txt"}}};
  EntrySink sink("p.zip", span);
  sink.write(zip.bytes.data(), 100);
  sink.restart();
  feed(sink, zip.bytes, span, 4);
  sink.finish();
  EXPECT_EQ(readFile(dir.path() / "a.txt"), "alpha");
  EXPECT_EQ(readFile(dir.path() / "b.txt"), big(5000, 2));
}

// Whatever the host serves in a span, only the listed bytes may land under a listed name.
TEST(EntrySink, RefusesAnEntryThatIsNotWhatTheListSays) {
  Archive zip;
  zip.add("a.txt", "alpha", false);
  zip.add("b.txt", big(5000, 2), true);
  struct Case {
    const char* what;
    std::function<void(ListedFile&, std::string&)> change;
    std::string error;
  } cases[] = {
      {"another name", [](ListedFile& f, std::string&) { f.name = "c.txt"; },
       "its header names another entry"},
      {"another method", [](ListedFile& f, std::string&) { f.method = Compression::stored; },
       "another compression method"},
      {"other bytes", [](ListedFile& f, std::string& b) { b[f.offset + f.length - 1] ^= 1; },
       "its deflate stream is cut off"},
      {"another hash", [](ListedFile& f, std::string&) { f.sha256 = std::string(64, '0'); },
       "another size or SHA-256"},
      {"a shorter file", [](ListedFile& f, std::string&) { f.size -= 1; }, "more data than listed"},
      {"a longer file", [](ListedFile& f, std::string&) { f.size += 1; },
       "another size or SHA-256"},
      {"a span shifted", [](ListedFile& f, std::string&) { f.offset -= 1; },
       "no entry header where listed"},
      {"data beyond its stream",
       [](ListedFile& f, std::string& b) {
         b.insert(f.offset + f.length, "!");
         b[f.offset + 18] += 1;  // the header's compressed size too, as a forger would
         f.compressedSize += 1;
         f.length += 1;
       },
       "data after the end of its deflate stream"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Archive changed = zip;
    c.change(changed.files[1], changed.bytes);
    EntrySpan span{changed.files[1].offset,
                   changed.files[1].offset + changed.files[1].length - 1,
                   {{&changed.files[1], dir.path() / "b.txt"}}};
    EntrySink sink("p.zip", span);
    try {
      feed(sink, changed.bytes, span, 5);
      sink.finish();
      ADD_FAILURE() << c.what << " accepted";
    } catch (const EntryRefused& e) {
      EXPECT_EQ(std::string(e.what()), "p.zip entry " + changed.files[1].name +
                                           " does not match the file list: " + c.error)
          << c.what;
    }
    // Nothing half written stays, nor held open for the whole archive's unpacking to meet.
    EXPECT_FALSE(fs::exists(dir.path() / "b.txt")) << c.what;
  }
  // Cut off, or sent too long: refused too.
  TempDir dir;
  const EntrySpan span{0, zip.files[0].length - 1, {{&zip.files[0], dir.path() / "a.txt"}}};
  EntrySink cut("p.zip", span), longer("p.zip", span);
  cut.write(zip.bytes.data(), 10);
  EXPECT_THROW(cut.finish(), EntryRefused);
  EXPECT_THROW(longer.write(zip.bytes.data(), zip.files[0].length + 1), EntryRefused);
}

// Which packages come in pieces, and how many, for what a start fetches.
TEST(PiecesOf, SplitsOnlyWhatHoldsMoreThanAConnectionsShare) {
  const struct {
    const char* what;
    std::vector<double> mb;
    std::size_t connections;
    std::vector<std::size_t> pieces;
  } cases[] = {
      {"ten equal", std::vector<double>(10, 10), 10, std::vector<std::size_t>(10, 1)},
      {"one holds 60 %", {60, 5, 5, 5, 5, 5, 5, 5, 5}, 10, {6, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"just above a share", {14, 9, 9, 9, 9, 9, 9, 9, 9, 14}, 10, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"alone, never more than the bound", {300}, 10, {10}},
      {"a small patch: pieces of at least the minimum", {2.3, 0.03, 0, 0.07}, 10, {4, 1, 1, 1}},
      {"too small to split", {(kMinPiece * 2 - 1) / 1e6, 0.001}, 10, {1, 1}},
      {"one connection", {60, 1}, 1, {1, 1}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint64_t> bytes;
    for (double mb : c.mb) bytes.push_back(static_cast<std::uint64_t>(mb * 1e6 + 0.5));
    EXPECT_EQ(piecesOf(bytes, c.connections), c.pieces) << c.what;
  }
}

// Pieces of a span, fed in any order, write the files the whole span writes,
// and a sliced file is only taken once all of it is what the list says.
// Ends in a long match across 64 KiB of output, coded with fixed codes so that
// its last byte holds the block's end too: zlib has taken all input and still
// holds output when the first 64 KiB are full.
std::string endsInMatch() {
  std::mt19937 random(1);
  std::string data(65548, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] =
        i + 258 < data.size() ? "abcdefghijklmnopqrstuvwxyz \n"[random() % 28] : data[i - 700];
  return data;
}

TEST(CutSpans, PiecesInAnyOrderMakeTheFilesAndCheckThemWhole) {
  Archive zip;
  zip.add("a.txt", big(60000, 3), true);
  zip.add("big.bin", big(10000, 4), false);
  zip.add("match.bin", endsInMatch(), true, "", Z_FIXED);
  zip.add("sub/b.txt", big(900, 5), true);
  zip.add("c.bin", std::string(700, 'c'), false);
  for (const char* damaged : {"", "a.txt", "big.bin"}) {
    TempDir dir;
    std::vector<EntrySpan::Target> targets;
    for (const ListedFile& file : zip.files) targets.push_back({&file, dir.path() / file.name});
    const std::vector<EntrySpan> pieces =
        cutSpans(entrySpans(targets, 0), 3000, dir.path() / "raw");
    // Long entries are cut, stored or deflated; the short ones share the last piece.
    EXPECT_GT(pieces.size(), 2 * zip.files.size());
    EXPECT_EQ(pieces.back().targets.size(), 2u);
    prepareSlices(pieces);
    std::string bytes = zip.bytes;
    for (const ListedFile& file : zip.files) {
      if (file.name == damaged) bytes[file.offset + file.length / 2] ^= 1;
    }
    for (std::size_t i = pieces.size(); i-- > 0;) {
      EntrySink sink("p.zip", pieces[i]);
      feed(sink, bytes, pieces[i], static_cast<unsigned>(i));
      sink.finish();
    }
    const std::string refused = slicesRefused("p.zip", pieces);
    EXPECT_TRUE(fs::is_empty(dir.path() / "raw"));
    if (*damaged) {
      EXPECT_EQ(refused, std::string("p.zip entry ") + damaged +
                             " does not match the file list: another size or SHA-256");
      continue;
    }
    EXPECT_EQ(refused, "");
    EXPECT_EQ(readFile(dir.path() / "a.txt"), big(60000, 3));
    EXPECT_EQ(readFile(dir.path() / "big.bin"), big(10000, 4));
    EXPECT_TRUE(readFile(dir.path() / "match.bin") == endsInMatch());
    EXPECT_EQ(readFile(dir.path() / "sub/b.txt"), big(900, 5));
    EXPECT_EQ(readFile(dir.path() / "c.bin"), std::string(700, 'c'));
  }
}

}  // namespace
}  // namespace velmora
