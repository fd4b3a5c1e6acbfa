#include "install/progress.h"

#include <cstdio>

#include "platform/platform.h"

namespace velmora {
namespace {

std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

std::string progressText(std::int64_t bytes, std::int64_t total, double seconds) {
  std::string text = megabytes(static_cast<double>(bytes));
  if (total > 0) text += " of " + megabytes(static_cast<double>(total));
  if (seconds > 0) text += ", " + megabytes(static_cast<double>(bytes) / seconds) + "/s";
  return text;
}

Progress::Progress(std::string label)
    : label_(std::move(label)),
      enabled_(!label_.empty() && platform::stderrIsTerminal()),
      start_(std::chrono::steady_clock::now()) {}

void Progress::update(std::int64_t bytes, std::int64_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (!enabled_ || (drawn_ && now - lastDraw_ < std::chrono::milliseconds(200))) return;
  lastDraw_ = now;
  drawn_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // \r and erase-to-end keep it one line that is redrawn in place.
  std::fprintf(stderr, "\r%s: %s\x1b[K", label_.c_str(),
               progressText(bytes, total, seconds).c_str());
  std::fflush(stderr);
}

void Progress::finish() {
  if (!drawn_) return;
  drawn_ = false;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
}

}  // namespace velmora
