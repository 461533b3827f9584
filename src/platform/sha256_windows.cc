// SHA-256 from the system's CNG provider.

// Windows Sockets 2 and windows.h come before the system headers built
// on them.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <cstdlib>

#include "platform/sha256.h"

namespace burrowlink::platform {

namespace {

struct Cng {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool reusable = false;  // finishing resets the hash by itself
};

Cng* cng(void* p) { return static_cast<Cng*>(p); }

void create_hash(Cng& c) {
  if (BCryptCreateHash(c.algorithm, &c.hash, nullptr, 0, nullptr, 0,
                       c.reusable ? BCRYPT_HASH_REUSABLE_FLAG : 0) < 0) {
    std::abort();
  }
}

}  // namespace

void Sha256::prepare() {}

Sha256::Sha256() : m_context(new Cng) {
  Cng& c = *cng(m_context);
  // A reusable hash saves creating one per file; older systems lack it.
  c.reusable =
      BCryptOpenAlgorithmProvider(&c.algorithm, BCRYPT_SHA256_ALGORITHM,
                                  nullptr, BCRYPT_HASH_REUSABLE_FLAG) >= 0;
  if (!c.reusable &&
      BCryptOpenAlgorithmProvider(&c.algorithm, BCRYPT_SHA256_ALGORITHM,
                                  nullptr, 0) < 0) {
    std::abort();
  }
  create_hash(c);
}

Sha256::~Sha256() {
  Cng* c = cng(m_context);
  BCryptDestroyHash(c->hash);
  BCryptCloseAlgorithmProvider(c->algorithm, 0);
  delete c;
}

void Sha256::reset() {
  Cng& c = *cng(m_context);
  BCryptDestroyHash(c.hash);
  create_hash(c);
}

void Sha256::copy_from(const Sha256& other) {
  Cng& c = *cng(m_context);
  BCryptDestroyHash(c.hash);
  // A duplicate is never reusable: finishing it makes a fresh one.
  c.reusable = false;
  if (BCryptDuplicateHash(cng(other.m_context)->hash, &c.hash, nullptr, 0, 0) <
      0) {
    std::abort();
  }
}

void Sha256::update(std::span<const std::uint8_t> data) {
  Cng& c = *cng(m_context);
  // CNG takes at most 4 GiB per call.
  while (!data.empty()) {
    ULONG chunk = static_cast<ULONG>(
        std::min<std::size_t>(data.size(), std::size_t{1} << 30));
    BCryptHashData(c.hash, const_cast<PUCHAR>(data.data()), chunk, 0);
    data = data.subspan(chunk);
  }
}

Digest Sha256::finish() {
  Cng& c = *cng(m_context);
  Digest digest{};
  BCryptFinishHash(c.hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!c.reusable) {
    BCryptDestroyHash(c.hash);
    create_hash(c);
  }
  return digest;
}

}  // namespace burrowlink::platform
