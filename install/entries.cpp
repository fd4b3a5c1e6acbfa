#include "install/entries.h"

#include <zlib.h>

#include <algorithm>

#include "base/text.h"
#include "install/layout.h"
#include "platform/platform.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLocalHeader = 30;
constexpr std::uint32_t kLocalSignature = 0x04034b50;

// What an install from the whole archive would give the file.
void giveListedMode(const fs::path& path, const ListedFile& file) {
  std::error_code ec;
  fs::permissions(path, file.executable ? fs::perms(0755) : fs::perms(0644), ec);
}

// Where an entry's data starts in its archive.
std::uint64_t dataStart(const ListedFile& file) {
  return file.offset + file.length - file.compressedSize;
}

std::uint32_t little(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value |= std::uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

}  // namespace

namespace {

struct Inflater {
  z_stream stream{};
  bool ended = false;
  Inflater() {
    // Raw deflate: a ZIP entry's data has no zlib header.
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw std::runtime_error("out of memory");
  }
  ~Inflater() { inflateEnd(&stream); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

}  // namespace

struct EntrySink::Inflater : velmora::Inflater {};

std::vector<EntrySpan> entrySpans(std::vector<EntrySpan::Target> targets, std::uint64_t gap) {
  std::sort(targets.begin(), targets.end(),
            [](const auto& a, const auto& b) { return a.file->offset < b.file->offset; });
  std::vector<EntrySpan> spans;
  for (auto& target : targets) {
    const std::uint64_t first = target.file->offset, end = first + target.file->length;
    if (spans.empty() || first > spans.back().last + 1 + gap) {
      spans.push_back({first, end - 1, {}});
    } else {
      spans.back().last = std::max(spans.back().last, end - 1);
    }
    spans.back().targets.push_back(std::move(target));
  }
  return spans;
}

std::vector<std::size_t> piecesOf(const std::vector<std::uint64_t>& bytes,
                                  std::size_t connections) {
  std::uint64_t total = 0;
  for (std::uint64_t b : bytes) total += b;
  const std::uint64_t share = connections > 1 ? total / connections : 0;
  std::vector<std::size_t> pieces;
  for (std::uint64_t b : bytes) {
    // Rounded, so a package only a little above its share is not cut in two halves.
    const std::uint64_t shares = share > 0 ? (b + share / 2) / share : 1;
    pieces.push_back(static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>({shares, b / kMinPiece, connections}))));
  }
  return pieces;
}

std::vector<EntrySpan> cutSpans(const std::vector<EntrySpan>& spans, std::uint64_t piece,
                                const fs::path& raw) {
  std::vector<EntrySpan> pieces;
  for (const EntrySpan& span : spans) {
    bool open = false;  // the last piece is of this span and may take more entries
    for (const EntrySpan::Target& target : span.targets) {
      const ListedFile& file = *target.file;
      const std::uint64_t first = file.offset, end = file.offset + file.length;
      // One only a little longer than a piece stays whole, as a package that size does.
      if (piece > 0 && file.length >= piece + piece / 2 && !target.slice) {
        // Stored bytes can be written anywhere in their file; deflated ones inflate only in order.
        const fs::path into = file.method == Compression::stored
                                  ? target.path
                                  : raw / (std::to_string(file.offset) + ".deflated");
        const std::uint64_t data = dataStart(file), count = (file.length + piece / 2) / piece;
        std::uint64_t from = first;
        for (std::uint64_t k = 1; k <= count && from < end; ++k) {
          const std::uint64_t to =
              k == count ? end : std::max({data + 1, from + 1, first + file.length / count * k});
          const EntrySpan::Slice slice{from == first ? 0 : from - data, to - data, into};
          pieces.push_back({from, to - 1, {{target.file, target.path, slice}}});
          from = to;
        }
        open = false;
        continue;
      }
      if (open && end - pieces.back().first <= piece) {
        pieces.back().last = std::max(pieces.back().last, end - 1);
        pieces.back().targets.push_back(target);
      } else {
        pieces.push_back({first, end - 1, {target}});
        open = true;
      }
    }
  }
  return pieces;
}

void prepareSlices(const std::vector<EntrySpan>& spans) {
  for (const EntrySpan& span : spans) {
    for (const EntrySpan::Target& target : span.targets) {
      if (!target.slice || target.slice->first != 0) continue;
      const fs::path& raw = target.slice->raw;
      fs::create_directories(raw.parent_path());
      std::error_code ec;
      fs::remove(raw, ec);
      std::ofstream out(raw, std::ios::binary | std::ios::trunc);
      if (!out) throw std::runtime_error("cannot write " + utf8(raw));
      out.close();
      platform::preferSparse(raw);
    }
  }
}

namespace {

// Inflates a sliced entry's compressed data, whole now, into its file; false
// when it does not inflate to exactly one stream of the listed size.
bool inflateFile(const EntrySpan::Target& target) {
  const fs::path& raw = target.slice->raw;
  std::ifstream in(raw, std::ios::binary);
  std::error_code ec;
  fs::remove(target.path, ec);
  fs::create_directories(target.path.parent_path());
  std::ofstream out(target.path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + utf8(target.path));
  Inflater inflater;
  z_stream& z = inflater.stream;
  std::vector<unsigned char> input(1 << 16), output(1 << 16);
  std::uint64_t written = 0;
  bool ended = false, fits = true, full = false;
  while (fits && !ended) {
    if (z.avail_in == 0) {
      in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(input.size()));
      z.next_in = input.data();
      z.avail_in = static_cast<uInt>(in.gcount());
      // With its output full, zlib may still hold the stream's last bytes.
      if (z.avail_in == 0 && !full) break;  // cut off before its end
    }
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    const int result = inflate(&z, Z_NO_FLUSH);
    const std::size_t made = output.size() - z.avail_out;
    written += made;
    out.write(reinterpret_cast<const char*>(output.data()), static_cast<std::streamsize>(made));
    fits = (result == Z_OK || result == Z_STREAM_END || (result == Z_BUF_ERROR && made > 0)) &&
           written <= target.file->size;
    ended = result == Z_STREAM_END;
    full = z.avail_out == 0;
  }
  // Nothing may follow its stream.
  if (ended && (z.avail_in > 0 || in.peek() != std::char_traits<char>::eof())) fits = false;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + utf8(target.path));
  in.close();
  fs::remove(raw, ec);
  return fits && ended && !in.bad();
}

}  // namespace

std::string slicesRefused(const std::string& archive, const std::vector<EntrySpan>& spans) {
  std::string refused;
  for (const EntrySpan& span : spans) {
    for (const EntrySpan::Target& target : span.targets) {
      if (!target.slice || target.slice->first != 0) continue;
      const ListedFile& file = *target.file;
      std::error_code ec;
      // The package comes whole: what the others gathered goes too.
      if (!refused.empty()) {
        if (target.slice->raw != target.path) fs::remove(target.slice->raw, ec);
        continue;
      }
      const bool inflated = file.method == Compression::stored || inflateFile(target);
      if (!inflated || !holdsContent(target.path, file.size, file.sha256)) {
        refused = archive + " entry " + file.name +
                  " does not match the file list: another size or SHA-256";
        continue;
      }
      giveListedMode(target.path, file);
    }
  }
  return refused;
}

EntrySink::EntrySink(std::string archive, EntrySpan span)
    : archive_(std::move(archive)), span_(std::move(span)) {}

EntrySink::~EntrySink() = default;

void EntrySink::refuse(const std::string& why) {
  const std::string name = entry_ < span_.targets.size() ? span_.targets[entry_].file->name : "";
  // The package comes whole next, and its unpacking must find no half file held open (Windows).
  if (writing_) {
    out_.close();
    // A sliced file is shared with other pieces still writing; the whole archive replaces it.
    std::error_code ignored;
    if (!span_.targets[entry_].slice) fs::remove(span_.targets[entry_].path, ignored);
    writing_ = false;
  }
  throw EntryRefused(archive_ + " entry " + name + " does not match the file list: " + why);
}

void EntrySink::restart() {
  out_.close();
  received_ = 0;
  entry_ = 0;
  stage_ = Stage::gap;
  header_.clear();
  inflater_.reset();
}

void EntrySink::write(const char* bytes, std::size_t size) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const std::uint64_t at = span_.first + received_;
    std::size_t take = size;
    switch (stage_) {
      case Stage::done:
        // Bytes after the last entry: a host that sent more than the span.
        refuse("more bytes than the span");
        break;
      case Stage::gap: {
        const EntrySpan::Target& target = span_.targets[entry_];
        // A piece that starts inside an entry's data has no header to read.
        const bool inside = target.slice && target.slice->first > 0;
        const std::uint64_t start =
            inside ? dataStart(*target.file) + target.slice->first : target.file->offset;
        if (at > start) refuse("the span does not start at its entry");
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, start - at));
        if (at + take == start) {
          if (inside) {
            openOutput();
            stage_ = Stage::data;
            left_ = target.slice->end - target.slice->first;
          } else {
            stage_ = Stage::header;
            header_.clear();
          }
        }
        break;
      }
      case Stage::header:
        take = std::min(size, kLocalHeader - header_.size());
        header_.append(reinterpret_cast<const char*>(data), take);
        if (header_.size() == kLocalHeader) beginEntry();
        break;
      case Stage::name:
      case Stage::extra:
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
        if (stage_ == Stage::name) header_.append(reinterpret_cast<const char*>(data), take);
        left_ -= take;
        if (left_ == 0 && stage_ == Stage::name) {
          const ListedFile& file = *span_.targets[entry_].file;
          if (header_.compare(kLocalHeader, std::string::npos, file.name) != 0)
            refuse("its header names another entry");
          stage_ = Stage::extra;
          left_ = file.length - file.compressedSize - kLocalHeader - file.name.size();
        }
        if (left_ == 0 && stage_ == Stage::extra) {
          const EntrySpan::Target& target = span_.targets[entry_];
          stage_ = Stage::data;
          left_ = target.slice ? target.slice->end : target.file->compressedSize;
          if (left_ == 0) endEntry();
        }
        break;
      case Stage::data:
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
        if (span_.targets[entry_].slice) {
          // As the archive holds them: checked, and inflated, once every piece is in.
          out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(take));
          if (!out_)
            throw std::runtime_error("cannot write " + utf8(span_.targets[entry_].slice->raw));
        } else {
          takeData(data, take);
        }
        left_ -= take;
        if (left_ == 0) endEntry();
        break;
    }
    data += take;
    size -= take;
    received_ += take;
  }
}

void EntrySink::beginEntry() {
  const ListedFile& file = *span_.targets[entry_].file;
  if (little(header_, 0, 4) != kLocalSignature) refuse("no entry header where listed");
  if (little(header_, 8, 2) != static_cast<std::uint32_t>(file.method))
    refuse("another compression method");
  const std::uint64_t name = little(header_, 26, 2), extra = little(header_, 28, 2);
  // Where the data begins must be where the list says it ends minus its size.
  if (name != file.name.size() || kLocalHeader + name + extra + file.compressedSize != file.length)
    refuse("its header does not fit the listed span");
  openOutput();
  if (file.method == Compression::deflated && !span_.targets[entry_].slice)
    inflater_ = std::make_unique<Inflater>();
  stage_ = Stage::name;
  left_ = name;
  if (left_ == 0) refuse("its header has no name");
}

void EntrySink::openOutput() {
  const EntrySpan::Target& target = span_.targets[entry_];
  if (target.slice) {
    // Its other pieces write the same file, made empty by prepareSlices.
    out_.open(target.slice->raw, std::ios::binary | std::ios::in | std::ios::out);
    out_.seekp(static_cast<std::streamoff>(target.slice->first));
    hash_.reset();
    written_ = target.slice->first;
  } else {
    fs::create_directories(target.path.parent_path());
    // A hard link to an older version's file must not be written through.
    std::error_code ec;
    fs::remove(target.path, ec);
    out_.open(target.path, std::ios::binary | std::ios::out | std::ios::trunc);
    hash_ = std::make_unique<platform::Sha256>();
    written_ = 0;
  }
  if (!out_) throw std::runtime_error("cannot write " + utf8(target.path));
  writing_ = true;
}

void EntrySink::output(const unsigned char* data, std::size_t size) {
  const ListedFile& file = *span_.targets[entry_].file;
  if (size > file.size - written_) refuse("more data than listed");
  out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out_) throw std::runtime_error("cannot write " + utf8(span_.targets[entry_].path));
  if (hash_) hash_->update(data, size);
  written_ += size;
}

void EntrySink::takeData(const unsigned char* data, std::size_t size) {
  if (!inflater_) return output(data, size);
  z_stream& z = inflater_->stream;
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  unsigned char buffer[1 << 16];
  while (true) {
    if (inflater_->ended) {
      if (z.avail_in > 0) refuse("data after the end of its deflate stream");
      return;
    }
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    const int result = inflate(&z, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
      refuse("its data does not inflate");
    output(buffer, sizeof buffer - z.avail_out);
    if (result == Z_STREAM_END) inflater_->ended = true;
    // Everything taken and nothing held back: the next bytes are needed first.
    else if ((z.avail_in == 0 && z.avail_out > 0) || result == Z_BUF_ERROR)
      return;
  }
}

void EntrySink::endEntry() {
  const EntrySpan::Target& target = span_.targets[entry_];
  if (inflater_ && !inflater_->ended) refuse("its deflate stream is cut off");
  inflater_.reset();
  out_.close();
  if (!out_) throw std::runtime_error("cannot write " + utf8(target.path));
  if (!target.slice) {
    if (written_ != target.file->size || hash_->hex() != target.file->sha256)
      refuse("another size or SHA-256");
    giveListedMode(target.path, *target.file);
  }
  writing_ = false;
  ++entry_;
  stage_ = entry_ == span_.targets.size() ? Stage::done : Stage::gap;
}

Transfer entryTransfer(const std::string& url, EntrySink& sink) {
  const ByteSpan bytes{static_cast<std::int64_t>(sink.span().first),
                       static_cast<std::int64_t>(sink.span().last)};
  return {url, sink.archive(), &sink, bytes, bytes.last + 1 - bytes.first};
}

std::string entriesMissing(const Downloads& downloads, std::size_t i, EntrySink& sink) {
  if (!downloads.abandoned(i).empty()) return downloads.abandoned(i);
  try {
    sink.finish();
  } catch (const EntryRefused& e) {
    return e.what();
  }
  return {};
}

void EntrySink::finish() {
  if (stage_ != Stage::done) refuse("the span ended early");
}

}  // namespace velmora
