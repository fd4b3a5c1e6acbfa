// Release files, signatures and keys are read before anything is verified.
// Whatever a parser accepts must write back to exactly the bytes it came from
// (release file) or to fields that parse again unchanged (signature, key).
// A trusted comment may end in '\r'; the rewritten line ends in "\r\n" to keep it.
#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "install/release/release.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
  std::abort();
}

template <size_t N>
std::string base64(const unsigned char (&prefix)[2], const std::array<unsigned char, 8>& id,
                   const std::array<unsigned char, N>& rest) {
  unsigned char raw[10 + N];
  std::copy(prefix, prefix + 2, raw);
  std::copy(id.begin(), id.end(), raw + 2);
  std::copy(rest.begin(), rest.end(), raw + 10);
  char text[sodium_base64_ENCODED_LEN(10 + N, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(text, sizeof text, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  return text;
}

void checkRelease(const std::string& text) {
  velmora::Release release;
  try {
    release = velmora::parseRelease(text);
  } catch (const std::runtime_error&) {
    return;
  }
  std::string written =
      "version " + release.version + "\npublished " + std::to_string(release.published) + "\n";
  for (const auto& a : release.archives)
    written += a.sha256 + " " + std::to_string(a.size) + " " + a.name + "\n";
  if (written != text) fail("release file does not write back to its bytes");
  for (const auto& a : release.archives) {
    if (release.find(a.name) != &a) fail("find does not return the archive's own row");
  }
}

void checkSignature(const std::string& text) {
  velmora::Signature signature;
  try {
    signature = velmora::parseSignature(text);
  } catch (const std::runtime_error&) {
    return;
  }
  const unsigned char alg[2] = {'E', static_cast<unsigned char>(signature.prehashed ? 'D' : 'd')};
  unsigned char global[sodium_base64_ENCODED_LEN(64, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(reinterpret_cast<char*>(global), sizeof global,
                    signature.globalSignature.data(), 64, sodium_base64_VARIANT_ORIGINAL);
  const std::string written = "untrusted comment: x\n" +
                              base64(alg, signature.keyId, signature.signature) +
                              "\ntrusted comment: " + signature.trustedComment + "\r\n" +
                              reinterpret_cast<const char*>(global) + "\n";
  const velmora::Signature again = velmora::parseSignature(written);
  if (again.prehashed != signature.prehashed || again.keyId != signature.keyId ||
      again.signature != signature.signature || again.trustedComment != signature.trustedComment ||
      again.globalSignature != signature.globalSignature)
    fail("signature does not parse back to the same fields");
  // Random bytes must never pass as signed by a key with the same id.
  velmora::PublicKey key{signature.keyId, {}};
  try {
    velmora::verifySignature(key, signature, text);
    fail("an all-zero key verified a signature");
  } catch (const std::runtime_error&) {
  }
}

void checkPublicKey(const std::string& text) {
  velmora::PublicKey key;
  try {
    key = velmora::parsePublicKey(text);
  } catch (const std::runtime_error&) {
    return;
  }
  const unsigned char alg[2] = {'E', 'd'};
  const velmora::PublicKey again = velmora::parsePublicKey(base64(alg, key.keyId, key.key));
  if (again.keyId != key.keyId || again.key != key.key)
    fail("public key does not parse back to the same fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkRelease(text);
  checkSignature(text);
  checkPublicKey(text);
  return 0;
}
