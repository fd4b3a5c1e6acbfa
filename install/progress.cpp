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
