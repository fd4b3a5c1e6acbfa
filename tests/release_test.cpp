#include "install/release/release.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>

#include "build_config.h"
#include "temp_dir.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

const fs::path kTools = VELMORA_TOOLS_DIR;

void run(const std::string& command) {
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

template <size_t N>
std::string base64(const std::array<unsigned char, N>& bytes) {
  std::string text(sodium_base64_encoded_len(N, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), N, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return text;
}

// What the error says, or "" when `f` returns.
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
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
  // Line ends as Windows writes them, and none after the last line.
  for (const std::string& text :
       {file(untrusted, sig, trusted, global, "\r\n"),
        file(untrusted, sig, trusted, global)
            .substr(0, 3 + sig.size() + untrusted.size() + trusted.size() + global.size())}) {
    const Signature s = parseSignature(text);
    EXPECT_TRUE(s.prehashed);
    EXPECT_EQ(s.keyId[0], 14);
    EXPECT_EQ(s.signature[0], static_cast<unsigned char>(10 * 7));
    EXPECT_EQ(s.trustedComment, "timestamp:1\tfile:x");
    EXPECT_EQ(s.globalSignature[63], static_cast<unsigned char>(63 * 7));
  }

  struct Case {
    std::string text, error;
  } refused[] = {
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
  for (const auto& c : refused) {
    EXPECT_EQ(errorOf([&] { parseSignature(c.text); }), "invalid signature: " + c.error) << c.text;
  }
}

TEST(ParseRelease, RefusesAnythingElse) {
  const std::string head = "version 1\npublished 5\n";
  const std::string hash(64, 'f');
  struct Case {
    std::string text, error;
  } cases[] = {
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
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf([&] { parseRelease(c.text); }), "invalid release file: " + c.error) << c.text;
  }
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

// The presets carry the test key and its spare; they must stay the keys tools/ signs with.
TEST(BuiltInKey, AreTheCommittedTestKeysWhenSet) {
  if (kReleasePublicKey[0] == '\0') GTEST_SKIP() << "built without a release key";
  const std::vector<PublicKey> builtIn = parsePublicKeys(kReleasePublicKey);
  ASSERT_EQ(builtIn.size(), 2u);
  EXPECT_EQ(builtIn[0].key, parsePublicKey(readFile(kTools / "test-release-key.pub")).key);
  EXPECT_EQ(builtIn[1].key, parsePublicKey(readFile(kTools / "test-release-spare.pub")).key);
}

// Signatures made by Debian's minisign program, with the committed test key and
// with a key made here, over a file of its own.
class MinisignTest : public ::testing::Test {
 protected:
  TempDir dir;
  const std::string message = "version 1\npublished 2\n";
  PublicKey testKey = parsePublicKey(readFile(kTools / "test-release-key.pub"));

  std::string sign(const std::string& flags,
                   const fs::path& key = kTools / "test-release-key.key") {
    writeFile(dir.path() / "release.txt", message);
    const fs::path sig = dir.path() / "release.txt.minisig";
    run(std::string(VELMORA_MINISIGN) + " -S " + flags + " -s " + key.string() + " -m " +
        (dir.path() / "release.txt").string() + " -x " + sig.string());
    return readFile(sig);
  }
};

TEST_F(MinisignTest, ItsSignaturesVerifyInBothForms) {
  struct Case {
    std::string flags;
    bool prehashed;
    std::string trustedComment;
  } cases[] = {
      {"", true, ""},  // minisign's default, prehashed, names the file in the comment
      {"-l", false, ""},
      {"-t 'version 1, signed: 2'", true, "version 1, signed: 2"},
      {"-l -t ''", false, ""},
  };
  for (const auto& c : cases) {
    const Signature signature = parseSignature(sign(c.flags));
    EXPECT_EQ(signature.prehashed, c.prehashed) << c.flags;
    if (!c.trustedComment.empty()) {
      EXPECT_EQ(signature.trustedComment, c.trustedComment);
    }
    EXPECT_EQ(errorOf([&] { verifySignature(testKey, signature, message); }), "") << c.flags;
  }
}

TEST_F(MinisignTest, TamperedOnesDoNot) {
  run(std::string(VELMORA_MINISIGN) + " -G -W -p " + (dir.path() / "other.pub").string() + " -s " +
      (dir.path() / "other.key").string());
  const PublicKey otherKey = parsePublicKey(readFile(dir.path() / "other.pub"));
  struct Case {
    const char* what;
    std::string flags;
    std::function<void(PublicKey&, Signature&, std::string&)> tamper;
    std::string error;
  } cases[] = {
      {"message edited", "", [](auto&, auto&, auto& m) { m[8] = '2'; }, "signature does not match"},
      {"message edited, legacy", "-l", [](auto&, auto&, auto& m) { m += "\n"; },
       "signature does not match"},
      {"trusted comment edited", "", [](auto&, auto& s, auto&) { s.trustedComment += " "; },
       "trusted comment signature does not match"},
      {"signature byte", "-l", [](auto&, auto& s, auto&) { s.signature[63] ^= 1; },
       "signature does not match"},
      {"global signature byte", "", [](auto&, auto& s, auto&) { s.globalSignature[0] ^= 0x80; },
       "trusted comment signature does not match"},
      // A plain signature relabelled as prehashed, and the other way round.
      {"form switched", "", [](auto&, auto& s, auto&) { s.prehashed = false; },
       "signature does not match"},
      {"form switched, legacy", "-l", [](auto&, auto& s, auto&) { s.prehashed = true; },
       "signature does not match"},
      {"another key", "", [&](auto& k, auto&, auto&) { k = otherKey; }, "signed with key "},
      {"another key with our key id", "", [&](auto& k, auto&, auto&) { k.key = otherKey.key; },
       "signature does not match"},
  };
  for (auto& c : cases) {
    PublicKey key = testKey;
    Signature signature = parseSignature(sign(c.flags));
    std::string signedMessage = message;
    c.tamper(key, signature, signedMessage);
    const std::string error = errorOf([&] { verifySignature(key, signature, signedMessage); });
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.what << ": " << error;
    EXPECT_NE(error, "") << c.what;
  }
  // One made by the other key is refused by ours, naming its id as minisign's comment does.
  const Signature foreign = parseSignature(sign("", dir.path() / "other.key"));
  const std::string theirs = readFile(dir.path() / "other.pub");
  const auto at = theirs.find("public key ") + 11;
  const std::string id = theirs.substr(at, theirs.find('\n', at) - at);
  EXPECT_EQ(
      errorOf([&] { verifySignature(testKey, foreign, message); }).substr(0, 16 + id.size() + 15),
      "signed with key " + id + ", expected key ");
}

}  // namespace
}  // namespace velmora
