#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "platform/sha256.h"

namespace burrowlink::platform {

namespace {

EVP_MD_CTX* context(void* p) { return static_cast<EVP_MD_CTX*>(p); }

// Fetched once: a digest started from it skips the lookup by name that
// EVP_sha256() makes every time.
const EVP_MD* sha256() {
  static EVP_MD* md = [] {
    // The built-in digest needs nothing from the system's configuration
    // file, whose reading and parsing was a third of OpenSSL's set-up; nor
    // the clean-up at exit, when the process's memory goes anyway.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT,
                        nullptr);
    return EVP_MD_fetch(nullptr, "SHA256", nullptr);
  }();
  if (md == nullptr) std::abort();
  return md;
}

}  // namespace

void Sha256::prepare() { (void)sha256(); }

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
  if (m_context == nullptr) std::abort();
  reset();
}

Sha256::~Sha256() { EVP_MD_CTX_free(context(m_context)); }

void Sha256::reset() {
  if (EVP_DigestInit_ex(context(m_context), sha256(), nullptr) != 1) {
    std::abort();
  }
}

void Sha256::copy_from(const Sha256& other) {
  if (EVP_MD_CTX_copy_ex(context(m_context), context(other.m_context)) != 1) {
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

}  // namespace burrowlink::platform
