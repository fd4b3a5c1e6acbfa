#include "install/package.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "base/text.h"
#include "build_config.h"
#include "install/entries.h"
#include "install/layout.h"
#include "install/release/file_list.h"
#include "install/release/release.h"
#include "install/transfer/download.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/sha256.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

// Permissions and times are restored; "..", and writing through a symbolic
// link, are refused by the writer. Absolute targets must stay allowed: every
// target we hand over is the destination joined with the entry name.
constexpr int kExtractOptions = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
constexpr size_t kReadBlockSize = 65536;
constexpr char kProgressLabel[] = "Downloading";
// Packages unpacked at once at most; more would mostly contend for the disk.
constexpr std::size_t kMaxUnpackThreads = 4;
// Where the pieces of compressed entries gather before they are inflated whole.
constexpr char kPiecesFolder[] = ".velmora-pieces";
// Room left on the volume after an install, for the system and the game.
constexpr std::uint64_t kSpaceMargin = 100'000'000;

using ReadArchive = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteArchive = std::unique_ptr<archive, decltype(&archive_write_free)>;

std::string errorText(archive* a) {
  const char* text = archive_error_string(a);
  return text && *text ? text : "the archive library reported an error without a reason";
}

// The archive library offers narrow and wide path calls; use the one that
// matches the native path type so no code-page conversion happens on the way.
[[maybe_unused]] int openArchiveFile(archive* a, const char* path) {
  return archive_read_open_filename(a, path, kReadBlockSize);
}
[[maybe_unused]] int openArchiveFile(archive* a, const wchar_t* path) {
  return archive_read_open_filename_w(a, path, kReadBlockSize);
}
[[maybe_unused]] fs::path entryName(archive_entry* e, char) {
  const char* name = archive_entry_pathname(e);
  return name ? fs::path(name) : fs::path();
}
[[maybe_unused]] fs::path entryName(archive_entry* e, wchar_t) {
  const wchar_t* name = archive_entry_pathname_w(e);
  return name ? fs::path(name) : fs::path();
}
[[maybe_unused]] void setEntryPath(archive_entry* e, const char* path) {
  archive_entry_copy_pathname(e, path);
}
[[maybe_unused]] void setEntryPath(archive_entry* e, const wchar_t* path) {
  archive_entry_copy_pathname_w(e, path);
}

// Why an entry must not be written, or nothing. `name` has '/' separators only.
std::optional<std::string> refusal(const std::string& name, archive_entry* entry) {
  if (auto why = entryNameRefusal(name)) return why;
  const auto type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR)) {
    return "refusing entry that is neither a file nor a folder: " + name;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> entryNameRefusal(const std::string& name) {
  const bool drive =
      name.size() >= 2 && isAsciiAlpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
  if (name.empty() || name[0] == '/' || drive) {
    return "refusing absolute or empty entry name: " + name;
  }
  // Windows reads a ':' later in a name as a drive or a hidden stream of a file.
  if (name.find(':') != std::string::npos) return "refusing entry name with ':': " + name;
  std::string::size_type start = 0;
  while (start <= name.size()) {
    const auto end = std::min(name.find('/', start), name.size());
    const std::string component = name.substr(start, end - start);
    if (isReservedDeviceName(component)) return "refusing device name in entry: " + name;
    // Windows drops a trailing dot or blank, so the file would land under another name.
    if (component != "." && component != ".." && !component.empty() &&
        (component.back() == '.' || component.back() == ' ')) {
      return "refusing entry name ending in a dot or a blank: " + name;
    }
    start = end + 1;
  }
  return std::nullopt;
}

void extractArchive(const fs::path& archiveFile, const fs::path& destination,
                    std::vector<InstalledFile>* written, const std::atomic<bool>* stop,
                    const std::function<bool(const std::string&)>& skip) {
  ReadArchive reader(archive_read_new(), &archive_read_free);
  WriteArchive writer(archive_write_disk_new(), &archive_write_free);
  if (!reader || !writer)
    throw std::runtime_error("extracting " + utf8(archiveFile) + " failed: out of memory");
  // The seekable reader checks entries against the central directory; the
  // streaming one would install an archive whose directory was cut off.
  archive_read_support_format_zip_seekable(reader.get());
  archive_write_disk_set_options(writer.get(), kExtractOptions);
  // The writer refuses any symbolic link on the way to a target, also above the
  // destination (a linked home folder), so hand it the destination's real path.
  fs::create_directories(destination);
  const fs::path root = platform::realPath(destination);

  std::string error;
  if (openArchiveFile(reader.get(), archiveFile.c_str()) != ARCHIVE_OK)
    error = errorText(reader.get());
  while (error.empty()) {
    archive_entry* entry = nullptr;
    const int header = archive_read_next_header(reader.get(), &entry);
    if (header == ARCHIVE_EOF) break;
    // A header that cannot be read means a damaged archive; never install it as whole.
    if (header != ARCHIVE_OK) {
      error = errorText(reader.get());
      break;
    }
    // Archives made on Windows may use '\'; it separates folders on every platform here.
    std::string name = utf8(entryName(entry, fs::path::value_type()));
    std::replace(name.begin(), name.end(), '\\', '/');
    if (auto why = refusal(name, entry)) {
      error = *why;
      break;
    }
    const fs::path target = root / pathFromUtf8(name);
    const fs::path inside = target.lexically_normal().lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") {
      error = "refusing entry outside the destination: " + name;
      break;
    }
    const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
    if (inside == ".") {
      if (folder) continue;  // "./": nothing to create, and its mode must not lock us out
      error = "refusing entry that names the destination itself: " + name;
      break;
    }
    if (!folder && skip && skip(inside.generic_u8string())) continue;
    // Whatever modes the archive records, a later update must be able to remove the tree.
    archive_entry_set_perm(entry, archive_entry_perm(entry) | (folder ? 0700 : 0600));
    setEntryPath(entry, target.c_str());
    if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
      error = errorText(writer.get());
      break;
    }
    InstalledFile file;
    file.path = inside.generic_u8string();
    while (!file.path.empty() && file.path.back() == '/') file.path.pop_back();
    if (folder) file.path += '/';
    platform::Sha256 hash;
    while (true) {
      if (stop && *stop) {
        error = "stopped";
        break;
      }
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
      if (read == ARCHIVE_EOF) break;
      if (read != ARCHIVE_OK) {
        if (error.empty()) error = errorText(reader.get());
        break;
      }
      if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
        error = errorText(writer.get());
        break;
      }
      if (written) hash.update(block, size);
      file.size += size;
    }
    // Where the last bytes, the size, the mode or the time are set: a failure is as real as any.
    if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK && error.empty())
      error = errorText(writer.get());
    if (written && error.empty()) {
      if (!folder) file.sha256 = hash.hex();
      written->push_back(std::move(file));
    }
  }
  reader.reset();
  // Folders' modes and times are set at the close.
  if (archive_write_close(writer.get()) != ARCHIVE_OK && error.empty())
    error = errorText(writer.get());
  writer.reset();
  if (!error.empty())
    throw std::runtime_error("extracting " + utf8(archiveFile) + " failed: " + error);
}

namespace {

// The archive's bytes in a file beside where it is unpacked; with a row of the
// release file, checked against it as they come.
class FileSink : public Sink {
 public:
  FileSink(fs::path file, const ReleaseArchive* expected) : file_(std::move(file)) {
    if (expected) check_.emplace(*expected);
    open();
  }
  std::int64_t size() const override { return size_; }
  void restart() override {
    out_.close();
    open();
  }
  void write(const char* data, std::size_t size) override {
    if (check_) check_->take(data, size);
    out_.write(data, static_cast<std::streamsize>(size));
    if (!out_) throw std::runtime_error("writing " + utf8(file_) + " failed");
    size_ += static_cast<std::int64_t>(size);
  }
  // Flushes and closes; throws when the last bytes could not be written, or
  // ReleaseRefused when they are not what the release lists.
  void close() {
    out_.close();
    if (!out_) throw std::runtime_error("writing " + utf8(file_) + " failed");
    if (check_) check_->finish();
  }
  // The transfer was cut off because the body was longer than listed.
  bool overflowed() const { return check_ && check_->overflowed(); }

 private:
  void open() {
    size_ = 0;
    if (check_) check_->restart();
    // Not checked here: a file that cannot be written fails the first write.
    out_.open(file_, std::ios::binary | std::ios::trunc);
  }

  fs::path file_;
  std::ofstream out_;
  std::int64_t size_ = 0;
  std::optional<ArchiveCheck> check_;
};

// One of the pieces an archive is fetched in: its bytes go where they lie in
// the archive's file (there before the first piece starts), which is checked
// whole against the release once every piece has come.
class PieceSink : public Sink {
 public:
  PieceSink(fs::path file, ByteSpan span) : file_(std::move(file)), span_(span) {}
  std::int64_t size() const override { return size_; }
  void restart() override {
    size_ = 0;
    placed_ = false;
  }
  void write(const char* data, std::size_t size) override {
    if (!out_.is_open()) out_.open(file_, std::ios::binary | std::ios::in | std::ios::out);
    if (!placed_) out_.seekp(span_.first + size_);
    placed_ = true;
    out_.write(data, static_cast<std::streamsize>(size));
    if (!out_) throw std::runtime_error("writing " + utf8(file_) + " failed");
    size_ += static_cast<std::int64_t>(size);
  }
  // Throws when the last bytes could not be written.
  void close() {
    if (!out_.is_open()) return;
    out_.close();
    if (!out_) throw std::runtime_error("writing " + utf8(file_) + " failed");
  }

 private:
  fs::path file_;
  ByteSpan span_;
  std::fstream out_;
  std::int64_t size_ = 0;
  bool placed_ = false;
};

// Whether two destinations can hold the same path: one is the other or lies
// inside it. Entries never leave their destination, so others never can.
bool nested(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    // Windows folders ignore case.
    if (asciiLower(static_cast<unsigned char>(a[i])) !=
        asciiLower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Flushes what each package wrote on a thread of its own, while later ones
// still download and unpack: the writing overlaps the rest of the install
// instead of holding up its end.
class Flusher {
 public:
  Flusher() : thread_([this] { work(); }) {}
  ~Flusher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  void add(std::vector<fs::path> files) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(files));
    ready_.notify_one();
  }

  // Waits for everything added; throws the first failure.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    ready_.notify_one();
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void work() {
    while (true) {
      std::vector<fs::path> files;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return stopping_ || finishing_ || !pending_.empty(); });
        if (stopping_ || failure_ || pending_.empty()) return;
        files = std::move(pending_.front());
        pending_.erase(pending_.begin());
      }
      try {
        platform::flushToDisk(files);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::vector<fs::path>> pending_;
  bool stopping_ = false, finishing_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything above exists
};

// How a package reaches the staging folder.
enum class Way {
  archive,  // downloaded whole and unpacked
  carried,  // whole from what is on disk (the carrier has it)
  entries,  // the files the carrier lacks fetched alone, the rest carried
  pieces,   // its archive in several ranges side by side, then unpacked
};

struct Plan {
  const Package* package = nullptr;
  Way way = Way::archive;
  fs::path folder, archive;
  const ReleaseArchive* row = nullptr;
  const ListedPackage* listed = nullptr;
  std::vector<EntrySpan> spans;
  std::vector<ByteSpan> pieces;
  std::size_t spansLeft = 0;        // or pieces
  std::string abandoned;            // why its entries could not be fetched alone
  std::vector<fs::path> unflushed;  // what carrying it placed that may not be on disk yet
};

// Unpacks each package as soon as it has arrived, on worker threads while
// others still download, but after every earlier package whose destination
// nests with its own has been unpacked: where two packages write the same
// path, the later row wins as in a one-by-one install. Packages that do not
// nest unpack side by side, so the ones that arrive together at the end of
// the transfers share the cores. A carried package has arrived from the start
// and is placed at its turn the same way. Joined when it goes.
class Unpacker {
 public:
  Unpacker(std::vector<Plan>& plans, const PathOwners* owners, const Unpacked& unpacked,
           Carrier* carrier, Flusher& flusher, Downloads& downloads)
      : plans_(plans),
        owners_(owners),
        unpacked_(unpacked),
        carrier_(carrier),
        flusher_(flusher),
        downloads_(downloads),
        state_(plans.size(), State::waiting) {
    std::size_t archives = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      const Plan& plan = plans[i];
      if (plan.way == Way::carried || (plan.way == Way::entries && plan.spans.empty()))
        state_[i] = State::arrived;
      archives += plan.way == Way::archive || plan.way == Way::pieces;
    }
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t count =
        std::min({cores, kMaxUnpackThreads, std::max<std::size_t>(archives, 1)});
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  }
  ~Unpacker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    join();
  }

  void arrived(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_[i] = State::arrived;
    ready_.notify_all();
  }

  // Package i is left to a later pass: nothing of it is unpacked or recorded here.
  void skip(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_[i] = State::done;
    ready_.notify_all();
  }

  // Waits for the last package; throws what ended the work early.
  void finish() {
    join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  enum class State { waiting, arrived, unpacking, done };

  void join() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.notify_all();
    }
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  // The first package that may be unpacked now, if any; under the lock.
  std::optional<std::size_t> next() const {
    for (std::size_t i = 0; i < state_.size(); ++i) {
      if (state_[i] != State::arrived) continue;
      bool free = true;
      for (std::size_t j = 0; j < i && free; ++j)
        free = state_[j] == State::done ||
               !nested(plans_[i].package->destination, plans_[j].package->destination);
      if (free) return i;
    }
    return std::nullopt;
  }

  bool allDone() const {
    return std::all_of(state_.begin(), state_.end(), [](State s) { return s == State::done; });
  }

  // What a package fetched alone wrote, as unpacking its archive would have reported it.
  std::vector<InstalledFile> listedAsWritten(const Plan& plan, std::vector<fs::path>& files) const {
    std::vector<InstalledFile> written;
    for (const std::string& folder : plan.listed->folders) written.push_back({folder, 0, ""});
    for (const ListedFile& file : plan.listed->files) {
      if (!owners_->owns(plan.package->archive, plan.package->destination + file.name)) continue;
      written.push_back({file.name, file.size, file.sha256});
      files.push_back(plan.folder / pathFromUtf8(file.name));
    }
    return written;
  }

  // Each file unpacked is the one the list names, and each one listed came.
  void checkAgainstList(const Plan& plan, const std::vector<InstalledFile>& written) const {
    std::unordered_map<std::string, const ListedFile*> listed;
    for (const ListedFile& file : plan.listed->files) {
      if (owners_->owns(plan.package->archive, plan.package->destination + file.name))
        listed.emplace(foldedName(file.name), &file);
    }
    std::size_t files = 0;
    for (const InstalledFile& file : written) {
      if (file.path.back() == '/') continue;
      const auto at = listed.find(foldedName(file.path));
      if (at == listed.end() || at->second->size != file.size || at->second->sha256 != file.sha256)
        throw ReleaseRefused(std::string(plan.package->archive) + " does not match its file list");
      ++files;
    }
    if (files != listed.size())
      throw ReleaseRefused(std::string(plan.package->archive) + " does not match its file list");
  }

  void unpack(Plan& plan) {
    if (plan.way == Way::carried) {
      // The carrier keeps the record the listener keeps.
      std::lock_guard<std::mutex> heard(listener_);
      flusher_.add(carrier_->place(*plan.package));
      return;
    }
    std::vector<InstalledFile> written;
    std::vector<fs::path> files;
    if (plan.way == Way::entries) {
      written = listedAsWritten(plan, files);
      files.insert(files.end(), plan.unflushed.begin(), plan.unflushed.end());
    } else {
      std::function<bool(const std::string&)> skip;
      // Another package's entry is left at that path: it alone writes it.
      if (plan.listed) {
        skip = [&](const std::string& name) {
          return !owners_->owns(plan.package->archive, plan.package->destination + name);
        };
      }
      extractArchive(plan.archive, plan.folder, &written, &stopping_, skip);
      platform::removeFile(plan.archive);
      if (plan.listed) checkAgainstList(plan, written);
      for (const InstalledFile& file : written) {
        if (file.path.back() != '/') files.push_back(plan.folder / pathFromUtf8(file.path));
      }
    }
    flusher_.add(std::move(files));
    if (unpacked_) {
      // The listener keeps one record for all packages.
      std::lock_guard<std::mutex> heard(listener_);
      unpacked_(*plan.package, written);
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      std::optional<std::size_t> i;
      ready_.wait(lock, [&] { return stopping_ || allDone() || (i = next()); });
      if (stopping_ || !i) return;
      state_[*i] = State::unpacking;
      lock.unlock();
      try {
        unpack(plans_[*i]);
      } catch (...) {
        lock.lock();
        // The first failure is the reason; the others only heard the stop.
        if (stopping_) return;
        failure_ = std::current_exception();
        stopping_ = true;
        ready_.notify_all();
        lock.unlock();
        downloads_.stop(failure_);
        return;
      }
      lock.lock();
      state_[*i] = State::done;
      ready_.notify_all();
    }
  }

  std::vector<Plan>& plans_;
  const PathOwners* owners_;
  const Unpacked& unpacked_;
  Carrier* carrier_;
  Flusher& flusher_;
  Downloads& downloads_;
  std::vector<State> state_;
  std::atomic<bool> stopping_{false};
  std::exception_ptr failure_;
  std::mutex mutex_, listener_;
  std::condition_variable ready_;
  std::vector<std::thread> threads_;  // last: they start once everything above exists
};

std::uint64_t spanBytes(const std::vector<EntrySpan>& spans) {
  std::uint64_t bytes = 0;
  for (const EntrySpan& span : spans) bytes += span.last + 1 - span.first;
  return bytes;
}

// Decides how `plan`'s package comes: whole from the carrier, by its files
// alone where that costs less than its archive, or as its archive.
void choose(Plan& plan, Carrier* carrier) {
  if (!carrier) return;
  if (carrier->has(*plan.package)) {
    plan.way = Way::carried;
    return;
  }
  if (!plan.listed || !plan.row) return;
  std::vector<EntrySpan::Target> targets;
  for (const ListedFile* file : carrier->lacks(*plan.package, *plan.listed))
    targets.push_back({file, plan.folder / pathFromUtf8(file->name)});
  std::vector<EntrySpan> spans = entrySpans(std::move(targets), kSpanGap);
  // Each request costs a round trip and headers; the archive is one request.
  if (spanBytes(spans) + spans.size() * kRequestCost >= plan.row->size) return;
  plan.way = Way::entries;
  plan.spans = std::move(spans);
  plan.spansLeft = plan.spans.size();
  for (const std::string& folder : plan.listed->folders)
    fs::create_directories(plan.folder / pathFromUtf8(folder));
  plan.unflushed = carrier->placeHeld(*plan.package);
}

// Decides every package's way, side by side: weighing what is on disk reads
// and hashes every file a package may carry.
void chooseAll(std::vector<Plan>& plans, Carrier* carrier) {
  if (!carrier) return;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr failure;
  const auto work = [&] {
    for (std::size_t i; (i = next++) < plans.size();) {
      try {
        choose(plans[i], carrier);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < std::min({cores, kMaxUnpackThreads, plans.size()}); ++i)
    helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

// The bytes each plan fetches, as it stands.
std::uint64_t fetchBytes(const Plan& plan) {
  if (plan.way == Way::entries) return spanBytes(plan.spans);
  if (plan.way == Way::archive && plan.row) return plan.row->size;
  return 0;
}

// Cuts the packages that hold more than a connection's share of what this
// pass fetches into pieces: with a list, spans of whole entries (and of large
// entries' data), each checked against the list; without one, byte ranges of
// the archive. Only with a release row: its size bounds the ranges and its
// SHA-256 checks the whole.
void split(std::vector<Plan>& plans, const PathOwners* owners, const fs::path& root) {
  std::vector<std::uint64_t> bytes;
  for (const Plan& plan : plans) bytes.push_back(fetchBytes(plan));
  const std::vector<std::size_t> pieces = piecesOf(bytes, kParallelTransferCount);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    Plan& plan = plans[i];
    if (pieces[i] < 2 || !plan.row) continue;
    const std::uint64_t piece = (bytes[i] + pieces[i] - 1) / pieces[i];
    if (plan.way == Way::archive && plan.listed) {
      std::vector<EntrySpan::Target> targets;
      for (const ListedFile& file : plan.listed->files) {
        if (owners->owns(plan.package->archive, plan.package->destination + file.name))
          targets.push_back({&file, plan.folder / pathFromUtf8(file.name)});
      }
      plan.spans = entrySpans(std::move(targets), kSpanGap);
      plan.way = Way::entries;
      for (const std::string& folder : plan.listed->folders)
        fs::create_directories(plan.folder / pathFromUtf8(folder));
    }
    if (plan.way == Way::entries) {
      plan.spans = cutSpans(plan.spans, piece, root / kPiecesFolder / plan.package->archive);
      plan.spansLeft = plan.spans.size();
      prepareSlices(plan.spans);
    } else if (plan.way == Way::archive) {
      plan.way = Way::pieces;
      for (std::uint64_t first = 0; first < bytes[i]; first += piece) {
        plan.pieces.push_back({static_cast<std::int64_t>(first),
                               static_cast<std::int64_t>(std::min(first + piece, bytes[i]) - 1)});
      }
      plan.spansLeft = plan.pieces.size();
    }
  }
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 999'999) / 1'000'000); }

// What a package's files take once unpacked: what its list says, or, without
// one, as much again as its archive as a guess.
std::uint64_t unpackedSize(const Plan& plan, const PathOwners* owners) {
  if (!plan.listed) return plan.row ? plan.row->size : 0;
  std::uint64_t bytes = 0;
  for (const ListedFile& file : plan.listed->files) {
    if (owners->owns(plan.package->archive, plan.package->destination + file.name))
      bytes += file.size;
  }
  return bytes;
}

// Whether files can be carried as second names in `folder`, or are copied (FAT, exFAT).
bool hardLinksWork(const fs::path& folder) {
  const fs::path probe = folder / ".link-probe", link = folder / ".link-probe.2";
  std::error_code ec;
  std::ofstream(probe, std::ios::binary).close();
  fs::create_hard_link(probe, link, ec);
  const bool works = !ec;
  fs::remove(link, ec);
  fs::remove(probe, ec);
  return works;
}

// What the install will download and write beyond what it carries as second names.
std::uint64_t bytesNeeded(const std::vector<Plan>& plans, const PathOwners* owners, bool copies) {
  std::uint64_t bytes = 0;
  for (const Plan& plan : plans) {
    if (plan.way == Way::archive || plan.way == Way::pieces) {
      bytes += (plan.row ? plan.row->size : 0) + unpackedSize(plan, owners);
    } else {
      if (copies) bytes += unpackedSize(plan, owners);
      if (plan.way != Way::entries) continue;
      for (const EntrySpan& span : plan.spans) {
        for (const EntrySpan::Target& target : span.targets) {
          // A file fetched in pieces counts once, and so does what it inflates from.
          if (!copies && (!target.slice || target.slice->first == 0)) bytes += target.file->size;
          if (target.slice && target.slice->first == 0 && target.slice->raw != target.path)
            bytes += target.file->compressedSize;
        }
      }
    }
  }
  return bytes;
}

}  // namespace

void requireSpace(const std::string& version, const fs::path& root, std::uint64_t bytes) {
  if (bytes == 0) return;
  const std::uint64_t need = bytes + kSpaceMargin;
  const auto free = platform::freeSpace(root);
  platform::logLine("disk space for " + version + ": " + megabytes(need) + " MB needed, " +
                    (free ? std::to_string(free->bytes / 1'000'000) + " MB free on " + free->volume
                          : std::string("free space unknown")));
  if (!free || free->bytes >= need) return;
  throw NotEnoughSpace("not enough disk space for " + version + ": " + megabytes(need) +
                       " MB needed, " + std::to_string(free->bytes / 1'000'000) + " MB free on " +
                       free->volume);
}

namespace {

void installPackages(const std::string& version, const std::vector<Package>& packages,
                     const fs::path& root, const Release* release, const Unpacked& unpacked,
                     Carrier* carrier, const FileList* list, const PathOwners* owners,
                     bool inPieces) {
  std::vector<Plan> plans;
  for (const Package& package : packages) {
    Plan plan;
    plan.package = &package;
    plan.row = release ? release->find(package.archive) : nullptr;
    // A release that does not list an archive vouches for none of its bytes.
    if (release && !plan.row) {
      throw ReleaseRefused("the release file of " + version + " does not list " + package.archive);
    }
    plan.listed = list ? list->find(package.archive) : nullptr;
    plan.folder = root / pathFromUtf8(package.destination);
    plan.archive = plan.folder / pathFromUtf8(package.archive);
    plans.push_back(std::move(plan));
  }
  chooseAll(plans, carrier);
  if (inPieces) split(plans, owners, root);
  requireSpace(version, root, bytesNeeded(plans, owners, carrier && !hardLinksWork(root)));

  // Everything of this pass is closed before a second one unpacks over it.
  std::vector<Package> whole;
  {
    std::vector<std::unique_ptr<FileSink>> files;
    std::vector<std::unique_ptr<EntrySink>> entries;
    std::vector<std::unique_ptr<PieceSink>> pieces;
    // What each transfer brings, by its index.
    struct Fetch {
      std::size_t plan;
      FileSink* file = nullptr;    // an archive whole
      EntrySink* span = nullptr;   // entries
      PieceSink* piece = nullptr;  // a piece of an archive
    };
    std::vector<std::pair<Transfer, Fetch>> queued;
    const auto urlOf = [&](const Plan& plan) {
      return std::string(kSetupBaseUrl) + version + "-" + plan.package->archive;
    };
    const auto wholeTransfer = [&](Plan& plan, std::size_t i) {
      files.push_back(std::make_unique<FileSink>(plan.archive, plan.row));
      return std::pair(
          Transfer{urlOf(plan), plan.package->archive, files.back().get(), std::nullopt,
                   plan.row ? static_cast<std::int64_t>(plan.row->size) : -1},
          Fetch{i, files.back().get()});
    };
    for (std::size_t i = 0; i < plans.size(); ++i) {
      Plan& plan = plans[i];
      if (plan.way == Way::archive) {
        fs::create_directories(plan.folder);
        queued.push_back(wholeTransfer(plan, i));
      } else if (plan.way == Way::entries) {
        for (const EntrySpan& span : plan.spans) {
          entries.push_back(std::make_unique<EntrySink>(plan.package->archive, span));
          queued.push_back({entryTransfer(urlOf(plan), *entries.back()),
                            Fetch{i, nullptr, entries.back().get()}});
        }
      } else if (plan.way == Way::pieces) {
        fs::create_directories(plan.folder);
        std::ofstream created(plan.archive, std::ios::binary | std::ios::trunc);
        if (!created) throw std::runtime_error("writing " + utf8(plan.archive) + " failed");
        created.close();
        platform::preferSparse(plan.archive);
        for (const ByteSpan& span : plan.pieces) {
          pieces.push_back(std::make_unique<PieceSink>(plan.archive, span));
          queued.push_back({Transfer{urlOf(plan), plan.package->archive, pieces.back().get(), span,
                                     span.last + 1 - span.first},
                            Fetch{i, nullptr, nullptr, pieces.back().get()}});
        }
      }
    }
    // First what later packages wait on to unpack (the player's, which holds
    // them all), then the longest, so that no long one starts last and holds up the end.
    std::vector<bool> awaited(plans.size(), false);
    for (std::size_t i = 0; i < plans.size(); ++i) {
      for (std::size_t j = i + 1; j < plans.size() && !awaited[i]; ++j)
        awaited[i] = nested(plans[i].package->destination, plans[j].package->destination);
    }
    std::stable_sort(queued.begin(), queued.end(), [&](const auto& a, const auto& b) {
      if (awaited[a.second.plan] != awaited[b.second.plan]) return bool(awaited[a.second.plan]);
      return a.first.expected > b.first.expected;
    });
    std::vector<Transfer> transfers;
    std::vector<Fetch> fetches;
    for (auto& [transfer, fetch] : queued) {
      transfers.push_back(std::move(transfer));
      fetches.push_back(fetch);
    }
    Downloads downloads(std::move(transfers), kProgressLabel);
    Flusher flusher;
    Unpacker unpacker(plans, owners, unpacked, carrier, flusher, downloads);
    const auto fallBack = [&](Plan& plan, const std::string& why) {
      if (why.empty() || !plan.abandoned.empty()) return;
      plan.abandoned = why;
      std::cerr << "warning: " << plan.package->archive << ": " << why << "; downloading it whole"
                << std::endl;
    };
    try {
      downloads.run([&](std::size_t i) {
        const Fetch fetch = fetches[i];
        Plan& plan = plans[fetch.plan];
        if (fetch.file) {
          fetch.file->close();
          unpacker.arrived(fetch.plan);
          return;
        }
        if (fetch.span) {
          fallBack(plan, entriesMissing(downloads, i, *fetch.span));
          if (--plan.spansLeft > 0) return;
          if (plan.abandoned.empty())
            fallBack(plan, slicesRefused(plan.package->archive, plan.spans));
          if (plan.abandoned.empty()) {
            unpacker.arrived(fetch.plan);
          } else {
            unpacker.skip(fetch.plan);
          }
          return;
        }
        fetch.piece->close();
        fallBack(plan, downloads.abandoned(i));
        if (--plan.spansLeft > 0) return;
        if (plan.abandoned.empty() && !holdsContent(plan.archive, plan.row->size, plan.row->sha256))
          fallBack(plan, "its pieces do not make the archive the release lists");
        if (plan.abandoned.empty()) {
          unpacker.arrived(fetch.plan);
          return;
        }
        // Whole within this pass: without a list, the packages after it that
        // nest with it must still unpack over it.
        auto [transfer, fetchWhole] = wholeTransfer(plan, fetch.plan);
        fetches.push_back(fetchWhole);
        downloads.add(std::move(transfer));
      });
    } catch (const std::runtime_error&) {
      // A body longer than listed is cut off with a transfer error; the reason is the release's.
      for (const auto& sink : files) {
        if (sink->overflowed()) sink->close();
      }
      throw;
    }
    unpacker.finish();
    flusher.finish();

    // Packages whose entries could not be fetched alone, whole now: once, and
    // with nothing carried, so they cannot come this way again.
    for (const Plan& plan : plans) {
      if (!plan.abandoned.empty() && plan.way == Way::entries) whole.push_back(*plan.package);
    }
  }
  // Where compressed entries were gathered; nothing of it may reach the version,
  // even while a scanner still holds a file of it.
  if (fs::exists(root / kPiecesFolder))
    platform::removeTree(root / kPiecesFolder, root.parent_path());
  if (!whole.empty())
    installPackages(version, whole, root, release, unpacked, nullptr, list, owners, false);
}

}  // namespace

void install(const std::string& version, const std::vector<Package>& packages, const fs::path& root,
             const Release* release, const Unpacked& unpacked, Carrier* carrier,
             const FileList* list, bool inPieces) {
  std::optional<PathOwners> owners;
  if (list) owners.emplace(*list, packages);
  installPackages(version, packages, root, release, unpacked, carrier, list,
                  owners ? &*owners : nullptr, inPieces);
}

void install(const std::string& version, const std::string& archive, const fs::path& destination,
             const Release* release) {
  install(version, {{archive.c_str(), ""}}, destination, release);
}

}  // namespace velmora
