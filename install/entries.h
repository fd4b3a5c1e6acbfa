#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "build_config.h"
#include "install/release/file_list.h"
#include "install/transfer/download.h"
#include "platform/sha256.h"

// Files fetched alone: a range of a package's archive on the host that holds
// one or more whole entries, unpacked as it arrives and checked against the
// file list, so nothing but the listed bytes ever lands under a listed name.
namespace velmora {

// An entry that is not what the file list says; the package is then fetched whole.
class EntryRefused : public TransferAbandoned {
  using TransferAbandoned::TransferAbandoned;
};

// Neighbouring entries whose gap is at most this are fetched in one request
// (bench/run.py, the patch's update: see README), and a request costs as much
// as this many bytes of an archive: a package whose files to fetch cost as
// much as its archive comes whole.
inline constexpr std::uint64_t kSpanGap = kSpanGapBytes;
inline constexpr std::uint64_t kRequestCost = 64 * 1024;

// One span of an archive to fetch: from `first` to `last` (inclusive), with the
// listed entries that lie in it, in order, and where each goes.
struct EntrySpan {
  // Bytes [first, end) of an entry's data as the archive holds it, for an
  // entry fetched in pieces, and the file they go to at the same offset: the
  // entry's own for a stored entry, else one inflated once whole.
  struct Slice {
    std::uint64_t first, end;
    std::filesystem::path raw;
  };
  struct Target {
    const ListedFile* file;
    std::filesystem::path path;
    // Only this part of the entry (the piece that starts at 0 with its header);
    // its file is checked once every part has come (slicesRefused).
    std::optional<Slice> slice = std::nullopt;
  };
  std::uint64_t first = 0, last = 0;
  std::vector<Target> targets;
};

// Groups `targets` (entries of one archive) into spans, joining neighbours
// whose gap is at most `gap` bytes: one request each, the gap fetched and
// skipped.
std::vector<EntrySpan> entrySpans(std::vector<EntrySpan::Target> targets, std::uint64_t gap);

// A piece is never smaller than this: below it a request's round trip costs
// more than the connection it frees.
inline constexpr std::uint64_t kMinPiece = 512 * 1024;

// How many pieces each of the packages (by the bytes each fetches) comes in
// when `connections` transfers run at once: one, unless a package holds more
// than a connection's share of the total; then as many as it holds shares,
// each at least kMinPiece, never more than `connections`.
std::vector<std::size_t> piecesOf(const std::vector<std::uint64_t>& bytes, std::size_t connections);

// Cuts `spans` into spans of about `piece` bytes each: between entries, and
// inside an entry of one and a half pieces or more, whose compressed data then goes to a
// file in `raw` first. A span is never joined to another.
std::vector<EntrySpan> cutSpans(const std::vector<EntrySpan>& spans, std::uint64_t piece,
                                const std::filesystem::path& raw);

// Makes the file every sliced entry of `spans` is written to empty (a second
// name of an older version's file is not written through), for the pieces to fill.
void prepareSlices(const std::vector<EntrySpan>& spans);
// Once every piece of `spans` is in: inflates each sliced compressed entry to
// its file, removing what it was inflated from; returns why a sliced entry is
// not the listed file, or nothing when each is.
std::string slicesRefused(const std::string& archive, const std::vector<EntrySpan>& spans);

// Takes the bytes of one span in order and writes each entry to its path as
// they come, stored or inflated, hashing it on the way. Throws EntryRefused for
// the first byte that disagrees with the list (a header for another name or
// method, more data than listed, a file of another size or SHA-256).
class EntrySink : public Sink {
 public:
  EntrySink(std::string archive, EntrySpan span);
  ~EntrySink() override;
  EntrySink(const EntrySink&) = delete;
  EntrySink& operator=(const EntrySink&) = delete;

  std::int64_t size() const override { return static_cast<std::int64_t>(received_); }
  // The host sent the span again from its start: every entry is written again.
  void restart() override;
  void write(const char* data, std::size_t size) override;
  // Throws EntryRefused unless every entry of the span arrived whole.
  void finish();

  const EntrySpan& span() const { return span_; }
  const std::string& archive() const { return archive_; }

 private:
  enum class Stage { gap, header, name, extra, data, done };

  [[noreturn]] void refuse(const std::string& why);
  void beginEntry();
  void openOutput();
  void takeData(const unsigned char* data, std::size_t size);
  void output(const unsigned char* data, std::size_t size);
  void endEntry();

  std::string archive_;
  EntrySpan span_;
  std::uint64_t received_ = 0;
  std::size_t entry_ = 0;
  Stage stage_ = Stage::gap;
  std::string header_;
  std::uint64_t left_ = 0;  // of the current stage
  std::uint64_t written_ = 0;
  std::fstream out_;
  bool writing_ = false;  // the current entry's file is ours, begun and not yet checked
  std::unique_ptr<platform::Sha256> hash_;
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;
};

// The range request of `sink`'s span of the archive at `url`.
Transfer entryTransfer(const std::string& url, EntrySink& sink);

// Why transfer `i` of `downloads`, into `sink`, did not bring its entries: the
// transfer abandoned, or a body that ended well without them all (an empty
// answer, a short span); empty when they all came.
std::string entriesMissing(const Downloads& downloads, std::size_t i, EntrySink& sink);

}  // namespace velmora
