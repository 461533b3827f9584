#include <openssl/evp.h>

#include <cstdlib>

#include "platform/sha256.h"

namespace burrowlink {

namespace {
EVP_MD_CTX* context(void* p) { return static_cast<EVP_MD_CTX*>(p); }
}  // namespace

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
  if (m_context == nullptr) std::abort();
  reset();
}

Sha256::~Sha256() { EVP_MD_CTX_free(context(m_context)); }

void Sha256::reset() {
  if (EVP_DigestInit_ex(context(m_context), EVP_sha256(), nullptr) != 1) {
    std::abort();
  }
}

void Sha256::update(std::span<const std::uint8_t> data) {
  EVP_DigestUpdate(context(m_context), data.data(), data.size());
}

Digest Sha256::finish() {
  Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context(m_context), digest.data(), &length);
  return digest;
}

}  // namespace burrowlink
