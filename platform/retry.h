#pragma once

// Portable on purpose: the retry policy is tested on every platform with a fake
// operation and a fake sleep; only the errors that count as busy differ.

#include <algorithm>
#include <chrono>
#include <system_error>

namespace platform {

// How long a file operation waits in all for a scanner or indexer to let go.
inline constexpr std::chrono::milliseconds kBusyBound{4000};
// How long the move of a freshly installed version waits: an on-access scanner
// reads large new programs for several seconds, and NTFS refuses to rename a
// folder while a file in it is open.
inline constexpr std::chrono::milliseconds kScannerBound{45000};

// Runs `operation` (returning std::error_code) until it succeeds, fails with an
// error that `busy` does not accept, or has waited `bound` in all, backing off
// from 50 ms to 1 s between tries. Returns the last result.
template <class Operation, class Busy, class Sleep>
std::error_code retryWhileBusy(Operation operation, Busy busy, Sleep sleep,
                               std::chrono::milliseconds bound = kBusyBound) {
  std::chrono::milliseconds delay{50}, waited{0};
  while (true) {
    const std::error_code ec = operation();
    if (!ec || !busy(ec) || waited >= bound) return ec;
    sleep(delay);
    waited += delay;
    delay = std::min(delay * 2, std::chrono::milliseconds(1000));
  }
}

}  // namespace platform
