#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace velmora {

// One live line on standard error for a download, shown only when standard
// error is a terminal so that logs and piped output stay exactly as they are.
class Progress {
 public:
  explicit Progress(std::string label);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const { return enabled_; }
  void update(std::int64_t bytes, std::int64_t total);
  // "<label>: <text>", at most five times a second.
  void show(const std::string& text);
  // Clears the line; safe to call more than once.
  void finish();

 private:
  bool due();
  void draw(const std::string& text);

  std::string label_;
  bool enabled_;
  std::optional<platform::TerminalEscapes> escapes_;
  bool drawn_ = false;
  std::size_t drawnLength_ = 0;
  std::chrono::steady_clock::time_point start_, lastDraw_;
};

// "12.5 of 40.0 MB (31 %), 3.2 MB/s, about 9 s left", or "12.5 MB, 3.2 MB/s"
// while the total is not known.
std::string progressText(std::int64_t bytes, std::int64_t total, double seconds);

// What redraws the line as `line` (empty: clears it) over one `drawnLength`
// long: erase-to-end where the terminal takes escape sequences, blanks over
// the rest of the old line where it does not.
std::string redrawText(const std::string& line, std::size_t drawnLength, bool escapes);

}  // namespace velmora
