#include "install/transfer/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"

namespace velmora {
namespace {

std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", bytes / 1e6);
  return text;
}

// Rounded up, so the line never promises less than is left.
std::string timeLeft(double seconds) {
  if (seconds < 59.5) return "about " + std::to_string(std::max(1, int(std::ceil(seconds)))) + " s";
  return "about " + std::to_string(int(std::ceil(seconds / 60))) + " min";
}

}  // namespace

std::string progressText(std::int64_t bytes, std::int64_t total, double seconds) {
  const double done = static_cast<double>(bytes);
  const double rate = seconds > 0 ? done / seconds : 0;
  std::string text = megabytes(done);
  if (total > 0) {
    const long share = static_cast<long>(100 * std::min(done, double(total)) / double(total));
    text +=
        " of " + megabytes(static_cast<double>(total)) + " MB (" + std::to_string(share) + " %)";
  } else {
    text += " MB";
  }
  if (seconds > 0) text += ", " + megabytes(rate) + " MB/s";
  if (total > bytes && rate > 0) text += ", " + timeLeft(double(total - bytes) / rate) + " left";
  return text;
}

std::string redrawText(const std::string& line, std::size_t drawnLength, bool escapes) {
  if (escapes) return "\r" + line + "\x1b[K";
  std::string text = "\r" + line;
  if (drawnLength > line.size()) text.append(drawnLength - line.size(), ' ');
  if (line.empty()) text += '\r';
  return text;
}

Progress::Progress(std::string label)
    : label_(std::move(label)),
      enabled_(!label_.empty() && platform::stderrIsTerminal()),
      start_(std::chrono::steady_clock::now()) {
  if (enabled_) escapes_.emplace();
}

void Progress::update(std::int64_t bytes, std::int64_t total) {
  if (!due()) return;
  draw(progressText(bytes, total, std::chrono::duration<double>(lastDraw_ - start_).count()));
}

void Progress::show(const std::string& text) {
  if (due()) draw(text);
}

bool Progress::due() {
  const auto now = std::chrono::steady_clock::now();
  if (!enabled_ || (drawn_ && now - lastDraw_ < std::chrono::milliseconds(200))) return false;
  lastDraw_ = now;
  return true;
}

void Progress::draw(const std::string& text) {
  drawn_ = true;
  const std::string line = label_ + ": " + text;
  std::fputs(redrawText(line, drawnLength_, escapes_->enabled()).c_str(), stderr);
  drawnLength_ = line.size();
  std::fflush(stderr);
}

void Progress::finish() {
  if (!drawn_) return;
  drawn_ = false;
  std::fputs(redrawText("", drawnLength_, escapes_->enabled()).c_str(), stderr);
  drawnLength_ = 0;
  std::fflush(stderr);
}

}  // namespace velmora
