#include "install/release/release.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <stdexcept>

#include "helpers.h"

namespace velmora {
namespace {

template <size_t N>
std::string base64(const std::array<unsigned char, N>& bytes) {
  std::string text(sodium_base64_encoded_len(N, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), N, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

template <size_t N>
std::array<unsigned char, N> filled(unsigned char first, unsigned char second) {
  std::array<unsigned char, N> bytes;
  for (size_t i = 0; i < N; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  bytes[0] = first;
  bytes[1] = second;
  return bytes;
}

TEST(ParseSignature, ReadsFourLinesAndRefusesAnyOtherShape) {
  const std::string sig = base64(filled<74>('E', 'D'));
  const std::string global = base64(filled<64>(1, 2));
  auto file = [](const std::string& a, const std::string& b, const std::string& c,
                 const std::string& d,
                 const std::string& end = "\n") { return a + end + b + end + c + end + d + end; };
  const std::string untrusted = "untrusted comment: anything";
  const std::string trusted = "trusted comment: timestamp:1\tfile:x";
  // Line ends as Windows writes them.
  const Signature s = parseSignature(file(untrusted, sig, trusted, global, "\r\n"));
  EXPECT_TRUE(s.prehashed);
  EXPECT_EQ(s.trustedComment, "timestamp:1\tfile:x");
  const std::pair<std::string, std::string> refused[] = {
      {"", "expected 4 lines, found 0"},
      {file(untrusted, sig, trusted, global) + "\n", "expected 4 lines, found 5"},
      {file("comment: x", sig, trusted, global), "no untrusted comment line"},
      {file(untrusted, sig, "trusted comment:x", global), "no trusted comment line"},
      {file(untrusted, base64(filled<73>('E', 'D')), trusted, global),
       "signature line is not 74 bytes of base64"},
      {file(untrusted, "=" + sig.substr(1), trusted, global),
       "signature line is not 74 bytes of base64"},
      {file(untrusted, base64(filled<74>('E', 'e')), trusted, global), "unknown algorithm"},
      {file(untrusted, sig, trusted, base64(filled<65>(1, 2))),
       "global signature line is not 64 bytes of base64"},
  };
  for (const auto& [text, error] : refused)
    EXPECT_EQ(errorOf([&] { parseSignature(text); }), "invalid signature: " + error) << text;
}

TEST(ParseRelease, RefusesAnythingElse) {
  const std::string head = "version 1\npublished 5\n";
  const std::string hash(64, 'f');
  const std::pair<std::string, std::string> cases[] = {
      // The header.
      {"", "line 1: missing line end"},
      {"version 1\npublished 5", "line 2: missing line end"},
      {"version 1\n", "line 2: expected \"published <seconds>\""},
      {"Version 1\npublished 5\n", "line 1: expected \"version <version>\""},
      {"version \npublished 5\n", "line 1: invalid version"},
      {"version 1 2\npublished 5\n", "line 1: invalid version"},
      {"version 1\r\npublished 5\n", "line 1: control or non-ASCII byte"},
      {"version 1\npublished -5\n", "line 2: expected \"published <seconds>\""},
      {"version 1\npublished 9223372036854775808\n", "line 2: expected \"published <seconds>\""},
      // The rows.
      {head + "\n", "line 3: expected \"<sha256> <size> <archive>\""},
      {head + hash + " 1\n", "line 3: expected \"<sha256> <size> <archive>\""},
      {head + std::string(64, 'F') + " 1 a.zip\n",
       "line 3: SHA-256 is not 64 lower-case hex digits"},
      {head + hash + "0 1 a.zip\n", "line 3: SHA-256 is not 64 lower-case hex digits"},
      {head + hash + "  1 a.zip\n", "line 3: invalid size"},
      {head + hash + " 18446744073709551616 a.zip\n", "line 3: invalid size"},
      {head + hash + " 1 a.zip \n", "line 3: invalid archive name"},
      {head + hash + " 1 a/b.zip\n", "line 3: invalid archive name"},
      {head + hash + " 1 .zip\n", "line 3: invalid archive name"},
      {head + hash + " 1 a\xc3\xa9.zip\n", "line 3: control or non-ASCII byte"},
      {head + hash + " 1 a.zip\n" + hash + " 2 a.zip\n", "line 4: archive listed twice: a.zip"},
  };
  for (const auto& [text, error] : cases)
    EXPECT_EQ(errorOf([&] { parseRelease(text); }), "invalid release file: " + error) << text;
}

TEST(ArchiveCheck, StopsAtTheFirstByteBeyondTheListedSize) {
  const ReleaseArchive row{"a.zip", 5, std::string(64, '0')};
  const std::string refusal = "a.zip does not match the ";
  ArchiveCheck check(row);
  check.take("abc", 3);
  check.take("de", 2);
  EXPECT_FALSE(check.overflowed());
  EXPECT_EQ(errorOf([&] { check.take("f", 1); }).substr(0, refusal.size()), refusal);
  EXPECT_TRUE(check.overflowed());
  check.restart();
  EXPECT_EQ(errorOf([&] { check.take("abcdef", 6); }).substr(0, refusal.size()), refusal);
}

}  // namespace
}  // namespace velmora
