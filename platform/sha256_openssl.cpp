// SHA-256 from OpenSSL's libcrypto, which libcurl loads anyway; it uses the
// processor's SHA instructions where there are any.

#include <openssl/evp.h>

#include <stdexcept>

#include "base/text.h"
#include "platform/sha256.h"

namespace platform {
namespace {

struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct CtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

[[noreturn]] void unavailable() { throw std::runtime_error("SHA-256 is not available"); }

// Fetched once: an implicit fetch on every start of a hash costs a provider lookup.
const EVP_MD* algorithm() {
  static const std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!md) unavailable();
  return md.get();
}

}  // namespace

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx{EVP_MD_CTX_new()};
  void start() {
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), algorithm(), nullptr) != 1) unavailable();
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->start(); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(state_->ctx.get(), data, size) != 1) unavailable();
}

std::string Sha256::hex() {
  unsigned char digest[32];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->ctx.get(), digest, &length) != 1 || length != sizeof digest)
    unavailable();
  state_->start();
  return velmora::hexText(digest, sizeof digest);
}

}  // namespace platform
