#include <gtest/gtest.h>
#include <sodium.h>

#include <chrono>
#include <random>
#include <string>
#include <system_error>

#include "base/text.h"
#include "platform/console_text.h"
#include "platform/retry.h"
#include "platform/sha256.h"

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

TEST(Sha256, GivesTheStandardsDigestsAndStartsOverAfterEach) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
       "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  Sha256 reused;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 16));
    Sha256 fresh;
    fresh.update(c.message.data(), c.message.size());
    EXPECT_EQ(fresh.hex(), c.digest);
    reused.update(c.message.data(), c.message.size());
    EXPECT_EQ(reused.hex(), c.digest);
  }
}

// Block boundaries (55/56/64 bytes, the update's own buffering) are where a
// fast path and the padding part ways; odd chunks cross every one of them.
TEST(Sha256, AgreesWithLibsodiumOnRandomInputsInAnyChunking) {
  std::mt19937 random(19);
  std::vector<std::size_t> sizes = {1, 55, 56, 63, 64, 65, 119, 120, 128, 4095, (1 << 20) + 3};
  for (int i = 0; i < 40; ++i) sizes.push_back(random() % 20000);
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    unsigned char expected[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(expected, reinterpret_cast<const unsigned char*>(data.data()), size);

    // Bytes fed before a restart by assignment must not count.
    Sha256 chunked;
    chunked.update("stale", 5);
    chunked = Sha256();
    for (std::size_t at = 0; at < size;) {
      const std::size_t piece = std::min<std::size_t>(size - at, 1 + random() % 777);
      chunked.update(data.data() + at, piece);
      at += piece;
    }
    chunked.update(data.data(), 0);
    EXPECT_EQ(chunked.hex(), velmora::hexText(expected, sizeof expected));
  }
}

}  // namespace
}  // namespace platform
