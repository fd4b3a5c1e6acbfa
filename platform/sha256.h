#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// SHA-256 of bytes fed in order, from the system's accelerated implementation
// (CNG on Windows, OpenSSL's libcrypto elsewhere; one file each, chosen by the
// build). Throws std::runtime_error when the system cannot hash.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(const void* data, std::size_t size);
  // 64 lower-case hex digits of everything fed since the last call (or since
  // construction); the next bytes start a new hash.
  std::string hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
