#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sha256.h"

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

// Inside a complete version folder: the release file it was installed from.
inline constexpr char kReleaseRecord[] = ".release";

struct Release {
  std::string text;  // the file as received
  std::string version;
  std::int64_t published;  // seconds since 1970, UTC
  std::vector<ReleaseArchive> archives;

  // The row for `name`, or nullptr.
  const ReleaseArchive* find(const std::string& name) const;
};

// Takes the key's base64 line alone, or a whole ".pub" file with its comment
// line. Throws "invalid public key: <reason>".
PublicKey parsePublicKey(const std::string& text);

// The keys of a list of base64 lines separated by ';', as
// VELMORA_RELEASE_PUBLIC_KEY holds them. Throws like parsePublicKey.
std::vector<PublicKey> parsePublicKeys(const std::string& list);

// Takes a ".minisig" file: untrusted comment, signature, trusted comment,
// global signature, one per line. Throws "invalid signature: <reason>".
Signature parseSignature(const std::string& text);

// Throws unless `signature` was made by `key` over `message` and its trusted
// comment is signed too. Each reason is one line.
void verifySignature(const PublicKey& key, const Signature& signature, const std::string& message);
// The same with the key of `keys` that the signature names; throws "signed with
// key <id>, expected key <id> or <id>" when none has its id.
void verifySignature(const std::vector<PublicKey>& keys, const Signature& signature,
                     const std::string& message);

// "version <v>", "published <seconds>", then "<sha256> <size> <name>" per
// archive, each line ended by '\n'. Throws "invalid release file: line <n>: <reason>".
Release parseRelease(const std::string& text);

// A release, or one of its archives, that must not be installed. The message
// names the reason.
class ReleaseRefused : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A release that the install root's volume has no room for now: the start
// falls back to an installed version with the reason, as for a refusal.
class NotEnoughSpace : public ReleaseRefused {
  using ReleaseRefused::ReleaseRefused;
};

// Fetches "<version>-release.txt" and, with kReleasePublicKey set, its
// ".minisig", and returns the release once it verifies by one of the keys,
// names `version` and lists every package and the studio; with `installed`, also
// once it was not published before a release a complete version there records.
// Without a key, a host that has no release file gives nullopt. Throws
// ReleaseRefused for a release that fails a check, and the download error when
// a file cannot be fetched. With `list`, the file list such a release names
// comes beside them, into `list` (nothing when it did not come).
class InstalledVersions;
std::optional<Release> fetchRelease(const std::string& version,
                                    const InstalledVersions* installed = nullptr,
                                    std::optional<std::string>* list = nullptr);

// The release recorded in a version folder, or nullopt when it has none.
std::optional<Release> recordedRelease(const std::filesystem::path& versionFolder);

// Checks a download against its row of the release file as it streams, so
// that the first byte beyond the listed size stops the transfer. Feed it every
// byte once, in order; restart() when the body starts over.
class ArchiveCheck {
 public:
  explicit ArchiveCheck(const ReleaseArchive& expected);
  void restart();
  // Throws ReleaseRefused "<archive> does not match the signed release" for a
  // byte beyond the listed size.
  void take(const char* data, std::size_t size);
  // True once more bytes came than the release lists.
  bool overflowed() const { return overflowed_; }
  // Throws ReleaseRefused unless exactly the listed bytes arrived.
  void finish();

 private:
  const ReleaseArchive& expected_;
  std::uint64_t received_ = 0;
  bool overflowed_ = false;
  platform::Sha256 hash_;
};

}  // namespace velmora
