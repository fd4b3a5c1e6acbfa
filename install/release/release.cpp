#include "install/release/release.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

#include "base/files.h"
#include "base/text.h"
#include "build_config.h"
#include "install/installed.h"
#include "install/package.h"
#include "install/release/file_list.h"
#include "install/transfer/download.h"

namespace velmora {
namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr size_t kMaxArchiveName = 128;
// Far above eleven rows; a host sending more is not sending a release file.
constexpr size_t kMaxReleaseText = 64 * 1024;

namespace fs = std::filesystem;

void initSodium() {
  if (sodium_init() < 0) throw std::runtime_error("the crypto library cannot start");
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Splits at '\n', dropping one '\r' before it as minisign does; a last line
// without '\n' counts.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(std::move(line));
    start = end + 1;
  }
  return result;
}

// Decodes padded standard base64 that must give exactly out.size() bytes.
template <size_t N>
bool decodeBase64(const std::string& text, std::array<unsigned char, N>& out) {
  // Longer text cannot decode to N bytes; checked first so a huge line costs nothing.
  if (text.size() != sodium_base64_encoded_len(N, sodium_base64_VARIANT_ORIGINAL) - 1) return false;
  size_t length = 0;
  const char* end = nullptr;
  return sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == N && end == text.data() + text.size();
}

// As minisign shows it: the id's bytes read as a little-endian number.
std::string keyIdText(const std::array<unsigned char, 8>& id) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (auto it = id.rbegin(); it != id.rend(); ++it) {
    text += digits[*it >> 4];
    text += digits[*it & 15];
  }
  // As minisign writes it in its files' comments: without leading zeros.
  const auto first = std::min(text.find_first_not_of('0'), text.size() - 1);
  return text.substr(first);
}

bool lowerHex(const std::string& s) {
  for (unsigned char c : s) {
    if (!isAsciiDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

bool archiveNameChar(unsigned char c) {
  return isAsciiAlnum(c) || c == '.' || c == '-' || c == '_';
}

}  // namespace

const ReleaseArchive* Release::find(const std::string& name) const {
  for (const ReleaseArchive& archive : archives) {
    if (archive.name == name) return &archive;
  }
  return nullptr;
}

std::vector<PublicKey> parsePublicKeys(const std::string& list) {
  std::vector<PublicKey> keys;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(';', start), list.size());
    keys.push_back(parsePublicKey(list.substr(start, end - start)));
    start = end + 1;
  }
  return keys;
}

PublicKey parsePublicKey(const std::string& text) {
  auto fail = [](const std::string& why) {
    return std::runtime_error("invalid public key: " + why);
  };
  std::vector<std::string> all = lines(text);
  if (!all.empty() && startsWith(all[0], kUntrustedPrefix)) all.erase(all.begin());
  while (!all.empty() && all.back().empty()) all.pop_back();
  if (all.size() != 1) throw fail("expected one base64 line");
  std::array<unsigned char, 42> raw;
  if (!decodeBase64(all[0], raw)) throw fail("not 42 bytes of base64");
  if (raw[0] != 'E' || raw[1] != 'd') throw fail("not an Ed25519 key");
  PublicKey key;
  std::copy(raw.begin() + 2, raw.begin() + 10, key.keyId.begin());
  std::copy(raw.begin() + 10, raw.end(), key.key.begin());
  return key;
}

Signature parseSignature(const std::string& text) {
  auto fail = [](const std::string& why) {
    return std::runtime_error("invalid signature: " + why);
  };
  std::vector<std::string> all = lines(text);
  if (all.size() != 4) throw fail("expected 4 lines, found " + std::to_string(all.size()));
  if (!startsWith(all[0], kUntrustedPrefix)) throw fail("no untrusted comment line");
  if (!startsWith(all[2], kTrustedPrefix)) throw fail("no trusted comment line");
  std::array<unsigned char, 74> raw;
  if (!decodeBase64(all[1], raw)) throw fail("signature line is not 74 bytes of base64");
  Signature signature;
  if (raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D')) throw fail("unknown algorithm");
  signature.prehashed = raw[1] == 'D';
  std::copy(raw.begin() + 2, raw.begin() + 10, signature.keyId.begin());
  std::copy(raw.begin() + 10, raw.end(), signature.signature.begin());
  signature.trustedComment = all[2].substr(std::char_traits<char>::length(kTrustedPrefix));
  if (!decodeBase64(all[3], signature.globalSignature))
    throw fail("global signature line is not 64 bytes of base64");
  return signature;
}

void verifySignature(const PublicKey& key, const Signature& signature, const std::string& message) {
  initSodium();
  if (signature.keyId != key.keyId) {
    throw std::runtime_error("signed with key " + keyIdText(signature.keyId) + ", expected key " +
                             keyIdText(key.keyId));
  }
  std::string signedBytes = message;
  if (signature.prehashed) {
    unsigned char hash[crypto_generichash_BYTES_MAX];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), nullptr, 0);
    signedBytes.assign(reinterpret_cast<const char*>(hash), sizeof hash);
  }
  if (crypto_sign_verify_detached(signature.signature.data(),
                                  reinterpret_cast<const unsigned char*>(signedBytes.data()),
                                  signedBytes.size(), key.key.data()) != 0) {
    throw std::runtime_error("signature does not match");
  }
  std::string global(signature.signature.begin(), signature.signature.end());
  global += signature.trustedComment;
  if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(global.data()),
                                  global.size(), key.key.data()) != 0) {
    throw std::runtime_error("trusted comment signature does not match");
  }
}

void verifySignature(const std::vector<PublicKey>& keys, const Signature& signature,
                     const std::string& message) {
  std::string expected;
  for (const PublicKey& key : keys) {
    if (key.keyId == signature.keyId) return verifySignature(key, signature, message);
    expected += (expected.empty() ? "" : " or ") + keyIdText(key.keyId);
  }
  throw std::runtime_error("signed with key " + keyIdText(signature.keyId) + ", expected key " +
                           expected);
}

Release parseRelease(const std::string& text) {
  size_t number = 0;
  auto fail = [&number](const std::string& why) {
    return std::runtime_error("invalid release file: line " + std::to_string(number) + ": " + why);
  };
  if (text.empty() || text.back() != '\n') {
    number = std::count(text.begin(), text.end(), '\n') + 1;
    throw fail("missing line end");
  }
  Release release;
  release.text = text;
  std::unordered_set<std::string> seen;
  std::string::size_type start = 0;
  while (start < text.size()) {
    ++number;
    const auto end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    for (unsigned char c : line) {
      if (c < 0x20 || c >= 0x7f) throw fail("control or non-ASCII byte");
    }
    if (number == 1) {
      if (!startsWith(line, "version ")) throw fail("expected \"version <version>\"");
      release.version = line.substr(8);
      if (release.version.empty() || release.version.find(' ') != std::string::npos)
        throw fail("invalid version");
      continue;
    }
    if (number == 2) {
      std::uint64_t seconds = 0;
      if (!startsWith(line, "published ") || !parseDecimal(line.substr(10), INT64_MAX, seconds))
        throw fail("expected \"published <seconds>\"");
      release.published = static_cast<std::int64_t>(seconds);
      continue;
    }
    const auto space1 = line.find(' ');
    const auto space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string::npos) throw fail("expected \"<sha256> <size> <archive>\"");
    ReleaseArchive archive;
    archive.sha256 = line.substr(0, space1);
    archive.name = line.substr(space2 + 1);
    if (archive.sha256.size() != 64 || !lowerHex(archive.sha256))
      throw fail("SHA-256 is not 64 lower-case hex digits");
    if (!parseDecimal(line.substr(space1 + 1, space2 - space1 - 1), INT64_MAX, archive.size))
      throw fail("invalid size");
    bool nameOk = !archive.name.empty() && archive.name.size() <= kMaxArchiveName &&
                  archive.name.find("..") == std::string::npos && archive.name[0] != '.';
    for (unsigned char c : archive.name) nameOk = nameOk && archiveNameChar(c);
    if (!nameOk) throw fail("invalid archive name");
    if (!seen.insert(archive.name).second) throw fail("archive listed twice: " + archive.name);
    release.archives.push_back(std::move(archive));
  }
  if (number < 2) {
    number = 2;
    throw fail("expected \"published <seconds>\"");
  }
  return release;
}

namespace {

// A small file to fetch beside others: its body, or why it did not come.
struct Small {
  std::string url, name, what;
  std::size_t limit;
  std::string text = {};
  std::exception_ptr failure = {};
};

// Each file as one request would give it, all in one round of transfers.
void fetchSideBySide(std::vector<Small>& files) {
  std::vector<TextSink> sinks;
  sinks.reserve(files.size());
  std::vector<Transfer> transfers;
  for (const Small& file : files) {
    sinks.emplace_back(file.limit);
    transfers.push_back({file.url, file.name, &sinks.back()});
    transfers.back().alone = true;
  }
  Downloads downloads(std::move(transfers));
  downloads.run();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& why = downloads.abandoned(i);
    if (why.empty()) {
      files[i].text = sinks[i].text();
    } else if (sinks[i].overflowed()) {
      files[i].failure = std::make_exception_ptr(ReleaseRefused(
          files[i].what + " is larger than " + std::to_string(files[i].limit) + " bytes"));
    } else if (downloads.notFound(i)) {
      files[i].failure = std::make_exception_ptr(DownloadNotFound(why));
    } else {
      files[i].failure = std::make_exception_ptr(std::runtime_error(why));
    }
  }
}

std::string mismatch(const std::string& archive) {
  return archive + (kReleasePublicKey[0] ? " does not match the signed release"
                                         : " does not match the release file");
}

}  // namespace

std::optional<Release> recordedRelease(const fs::path& versionFolder) {
  const auto text = readWholeFile(versionFolder / kReleaseRecord);
  if (!text) return std::nullopt;
  return parseRelease(*text);
}

std::optional<Release> fetchRelease(const std::string& version, const InstalledVersions* installed,
                                    std::optional<std::string>* list) {
  const bool keyed = kReleasePublicKey[0] != '\0';
  const std::string url = std::string(kSetupBaseUrl) + version + "-release.txt";
  auto notSigned = [&version](const std::string& why) {
    return ReleaseRefused("release " + version + " is not signed by Velmora: " + why);
  };
  // One round trip for all three: each alone costs one after another.
  std::vector<Small> files = {
      {url, version + "-release.txt", "the release file of " + version, kMaxReleaseText}};
  if (keyed)
    files.push_back({url + ".minisig", version + "-release.txt.minisig",
                     "the signature of " + version, kMaxReleaseText});
  if (list) {
    const std::string name = version + "-" + kFileListName;
    files.push_back({std::string(kSetupBaseUrl) + name, name, "", kMaxFileListBytes});
  }
  fetchSideBySide(files);
  // A list that did not come is fetched again once the release names it, with that one's errors.
  if (list) *list = files.back().failure ? std::nullopt : std::optional(files.back().text);
  std::string text;
  try {
    if (files[0].failure) std::rethrow_exception(files[0].failure);
    text = files[0].text;
  } catch (const DownloadNotFound&) {
    if (!keyed) return std::nullopt;
    throw notSigned("the setup host has no release file");
  }
  if (keyed) {
    std::string signature;
    try {
      if (files[1].failure) std::rethrow_exception(files[1].failure);
      signature = files[1].text;
    } catch (const DownloadNotFound&) {
      throw notSigned("the setup host has no signature");
    }
    try {
      verifySignature(parsePublicKeys(kReleasePublicKey), parseSignature(signature), text);
    } catch (const std::runtime_error& e) {
      throw notSigned(e.what());
    }
  }

  Release release;
  try {
    release = parseRelease(text);
  } catch (const std::runtime_error& e) {
    throw ReleaseRefused("release " + version + ": " + e.what());
  }
  if (release.version != version) {
    throw ReleaseRefused("the release file of " + version + " names version " + release.version);
  }
  std::vector<const char*> archives;
  for (const Package& package : kPackages) archives.push_back(package.archive);
  archives.push_back(kStudioPackage.archive);
  for (const char* archive : archives) {
    if (!release.find(archive)) {
      throw ReleaseRefused("the release file of " + version + " does not list " + archive);
    }
  }

  // An attacker may replay an old signed release with known faults; a real
  // rollback is published again with a new time.
  if (!installed) return release;
  for (const InstalledVersion& complete : installed->complete()) {
    if (complete.release && complete.release->published > release.published) {
      throw ReleaseRefused("release " + version + " was published before the installed " +
                           utf8(complete.folder.filename()));
    }
  }
  return release;
}

ArchiveCheck::ArchiveCheck(const ReleaseArchive& expected) : expected_(expected) { restart(); }

void ArchiveCheck::restart() {
  hash_ = platform::Sha256();
  received_ = 0;
  overflowed_ = false;
}

void ArchiveCheck::take(const char* data, std::size_t size) {
  if (received_ + size > expected_.size) {
    overflowed_ = true;
    throw ReleaseRefused(mismatch(expected_.name));
  }
  hash_.update(data, size);
  received_ += size;
}

void ArchiveCheck::finish() {
  if (overflowed_ || received_ != expected_.size || expected_.sha256 != hash_.hex()) {
    throw ReleaseRefused(mismatch(expected_.name));
  }
}

}  // namespace velmora
