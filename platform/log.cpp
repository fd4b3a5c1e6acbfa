#include "platform/log.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <streambuf>
#include <system_error>
#include <vector>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace platform {
namespace {

std::mutex logMutex;
fs::path logFile;  // empty: no log

// "2026-12-09T02:41:00.123Z", from the civil calendar (no time zone is asked).
std::string utcNow() {
  using namespace std::chrono;
  const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const long long days = now / 86400000 - (now % 86400000 < 0 ? 1 : 0);
  const long long inDay = now - days * 86400000;
  const long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  const long long dayOfEra = z - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long shifted = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month,
                day, inDay / 3600000, inDay / 60000 % 60, inDay / 1000 % 60, inDay % 1000);
  return text;
}

class LogTee : public std::streambuf {
 public:
  explicit LogTee(std::streambuf* out) : out_(out) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    take(&byte, 1);
    return out_->sputc(byte);
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    take(data, static_cast<std::size_t>(size));
    return out_->sputn(data, size);
  }
  int sync() override { return out_->pubsync(); }

 private:
  void take(const char* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') {
        logLine(line_);
        line_.clear();
      } else if (data[i] == '\r') {
        line_.clear();
      } else {
        line_ += data[i];
      }
    }
  }

  std::streambuf* out_;
  std::mutex mutex_;
  std::string line_;
};

}  // namespace

void openLog(const fs::path& file) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  logFile = file;
}

void logLine(const std::string& text) {
  try {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile.empty()) return;
    std::error_code ec;
    if (fs::file_size(logFile, ec) >= kLogCap && !ec) {
      fs::path older = logFile;
      older.replace_extension(".1" + logFile.extension().string());
      fileSystem().replace(logFile, older);
    }
    appendToFile(logFile, utcNow() + " [" + std::to_string(processId()) + "] " + text + "\n");
  } catch (...) {
    // A log is never worth a failed start.
  }
}

void logStream(std::ostream& stream) {
  // Never freed: the stream may be written to until the process ends. Kept reachable, so a
  // stream given another buffer later (the tool server's) leaves no leak behind.
  static auto* tees = new std::vector<std::streambuf*>();
  tees->push_back(new LogTee(stream.rdbuf()));
  stream.rdbuf(tees->back());
}

}  // namespace platform
