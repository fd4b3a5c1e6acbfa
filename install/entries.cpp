#include "install/entries.h"

#include <zlib.h>

#include <algorithm>

#include "base/text.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLocalHeader = 30;
constexpr std::uint32_t kLocalSignature = 0x04034b50;

std::uint32_t little(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value |= std::uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

}  // namespace

struct EntrySink::Inflater {
  z_stream stream{};
  bool ended = false;
  Inflater() {
    // Raw deflate: a ZIP entry's data has no zlib header.
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw std::runtime_error("out of memory");
  }
  ~Inflater() { inflateEnd(&stream); }
};

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

EntrySink::EntrySink(std::string archive, EntrySpan span)
    : archive_(std::move(archive)), span_(std::move(span)) {}

EntrySink::~EntrySink() = default;

void EntrySink::refuse(const std::string& why) {
  const std::string name = entry_ < span_.targets.size() ? span_.targets[entry_].file->name : "";
  // The package comes whole next, and its unpacking must find no half file held open (Windows).
  if (writing_) {
    out_.close();
    std::error_code ignored;
    fs::remove(span_.targets[entry_].path, ignored);
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
        const std::uint64_t start = span_.targets[entry_].file->offset;
        if (at > start) refuse("the span does not start at its entry");
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, start - at));
        if (at + take == start) {
          stage_ = Stage::header;
          header_.clear();
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
          stage_ = Stage::data;
          left_ = span_.targets[entry_].file->compressedSize;
          if (left_ == 0) endEntry();
        }
        break;
      case Stage::data:
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
        takeData(data, take);
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
  const fs::path& path = span_.targets[entry_].path;
  fs::create_directories(path.parent_path());
  // A hard link to an older version's file must not be written through.
  std::error_code ec;
  fs::remove(path, ec);
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) throw std::runtime_error("cannot write " + utf8(path));
  writing_ = true;
  hash_ = std::make_unique<platform::Sha256>();
  written_ = 0;
  if (file.method == Compression::deflated) inflater_ = std::make_unique<Inflater>();
  stage_ = Stage::name;
  left_ = name;
  if (left_ == 0) refuse("its header has no name");
}

void EntrySink::output(const unsigned char* data, std::size_t size) {
  const ListedFile& file = *span_.targets[entry_].file;
  if (size > file.size - written_) refuse("more data than listed");
  out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out_) throw std::runtime_error("cannot write " + utf8(span_.targets[entry_].path));
  hash_->update(data, size);
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
  if (written_ != target.file->size || hash_->hex() != target.file->sha256)
    refuse("another size or SHA-256");
  writing_ = false;
  std::error_code ec;
  fs::permissions(target.path, target.file->executable ? fs::perms(0755) : fs::perms(0644), ec);
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
