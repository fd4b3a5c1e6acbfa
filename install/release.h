#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The release file that lists a version's archives, and the minisign key and
// signature formats that vouch for it. Every parser reads untrusted bytes and
// throws std::runtime_error with a one-line reason.
namespace velmora {

struct PublicKey {
  std::array<unsigned char, 8> keyId;
  std::array<unsigned char, 32> key;
};

struct Signature {
  bool prehashed;  // "ED": the signed message is the BLAKE2b-512 hash of the file
  std::array<unsigned char, 8> keyId;
  std::array<unsigned char, 64> signature;
  std::string trustedComment;
  std::array<unsigned char, 64> globalSignature;  // over signature + trustedComment
};

struct ReleaseArchive {
  std::string name;
  std::uint64_t size;
  std::string sha256;  // 64 lower-case hex digits
};

struct Release {
  std::string version;
  std::int64_t published;  // seconds since 1970, UTC
  std::vector<ReleaseArchive> archives;

  // The row for `name`, or nullptr.
  const ReleaseArchive* find(const std::string& name) const;
};

// Takes the key's base64 line alone, or a whole ".pub" file with its comment
// line. Throws "invalid public key: <reason>".
PublicKey parsePublicKey(const std::string& text);

// Takes a ".minisig" file: untrusted comment, signature, trusted comment,
// global signature, one per line. Throws "invalid signature: <reason>".
Signature parseSignature(const std::string& text);

// Throws unless `signature` was made by `key` over `message` and its trusted
// comment is signed too. Each reason is one line.
void verifySignature(const PublicKey& key, const Signature& signature, const std::string& message);

// "version <v>", "published <seconds>", then "<sha256> <size> <name>" per
// archive, each line ended by '\n'. Throws "invalid release file: line <n>: <reason>".
Release parseRelease(const std::string& text);

}  // namespace velmora
