#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <system_error>

#include "platform/console_text.h"
#include "platform/retry.h"

namespace platform {
namespace {

using std::chrono::milliseconds;

// A scanner holding a file for a while: the operation fails `failures` times with
// `error`, then succeeds.
struct Case {
  int failures;
  std::errc error;
  int calls;      // how often the operation ran
  bool succeeds;  // whether it did in the end
};

TEST(RetryWhileBusy, WaitsOutBusyErrorsForABoundedTimeOnly) {
  const Case cases[] = {
      {0, std::errc::device_or_resource_busy, 1, true},
      {3, std::errc::device_or_resource_busy, 4, true},
      {1000, std::errc::device_or_resource_busy, 9, false},  // gives up after about 4.5 s
      {1, std::errc::no_such_file_or_directory, 1, false},   // not busy: fails at once
  };
  for (const Case& c : cases) {
    int calls = 0;
    milliseconds slept{0}, longest{0};
    const std::error_code result = retryWhileBusy(
        [&] { return ++calls > c.failures ? std::error_code() : std::make_error_code(c.error); },
        [](const std::error_code& e) { return e == std::errc::device_or_resource_busy; },
        [&](milliseconds delay) {
          slept += delay;
          longest = std::max(longest, delay);
        });
    SCOPED_TRACE(c.failures);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(!result, c.succeeds);
    EXPECT_LE(slept, kBusyBound + milliseconds(1000));
    EXPECT_LE(longest, milliseconds(1000));
  }
}

TEST(CompleteUtf8Length, KeepsACutCharacterForTheNextWrite) {
  const struct {
    std::string text;
    std::size_t complete;
  } cases[] = {
      {"", 0},
      {"plain", 5},
      {"caf\xc3\xa9", 5},
      {"caf\xc3", 3},                // two-byte sequence cut after its lead
      {"\xe2\x82\xac", 3},           // euro sign, whole
      {"a\xe2\x82", 1},              // cut after two of three
      {"a\xf0\x9f\x98", 1},          // cut after three of four
      {"a\xf0\x9f\x98\x80", 5},      // whole four-byte sequence
      {"a\x80\x80\x80\x80", 5},      // stray continuation bytes are not held back
      {std::string("x\xff", 2), 2},  // not UTF-8 at all: the conversion replaces it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(completeUtf8Length(c.text.data(), c.text.size()), c.complete) << c.text;
  }
}

}  // namespace
}  // namespace platform
