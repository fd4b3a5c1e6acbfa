// SHA-256 from the system's CNG (bcrypt.dll, delay-loaded from the system
// folder), which uses the processor's SHA instructions where there are any.

#ifndef UNICODE
#define UNICODE
#endif
// windows.h must come before the other system headers.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "base/text.h"
#include "platform/sha256.h"

namespace platform {
namespace {

[[noreturn]] void unavailable() { throw std::runtime_error("SHA-256 is not available"); }

struct Provider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  Provider() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
      handle = nullptr;
  }
  ~Provider() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
};

// Opening a provider is slow; one serves every thread's hashes.
BCRYPT_ALG_HANDLE algorithm() {
  static const Provider provider;
  if (!provider.handle) unavailable();
  return provider.handle;
}

}  // namespace

// A reusable hash object starts over after each result.
struct Sha256::State {
  BCRYPT_HASH_HANDLE handle = nullptr;
  State() {
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm(), &handle, nullptr, 0, nullptr, 0,
                                         BCRYPT_HASH_REUSABLE_FLAG)))
      unavailable();
  }
  ~State() { BCryptDestroyHash(handle); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  // The length is a ULONG: feed more than 4 GiB in pieces.
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->handle, bytes, piece, 0))) unavailable();
    bytes += piece;
    size -= piece;
  }
}

std::string Sha256::hex() {
  unsigned char digest[32];
  if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->handle, digest, sizeof digest, 0))) unavailable();
  return velmora::hexText(digest, sizeof digest);
}

}  // namespace platform
