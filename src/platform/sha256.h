#pragma once

// SHA-256 from the system: OpenSSL's libcrypto on Linux, CNG on Windows.

#include <array>
#include <cstdint>
#include <span>

namespace burrowlink::platform {

using Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256, restarted with `reset` for each file.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Loads the system's implementation now rather than with the first
  // digest (the first use of OpenSSL reads its configuration and sets up
  // its providers, which takes milliseconds). Optional; idempotent.
  static void prepare();

  void reset();
  // Goes on from where `other` is, as if it had been fed the same bytes.
  void copy_from(const Sha256& other);
  void update(std::span<const std::uint8_t> data);
  Digest finish();

 private:
  void* m_context;  // EVP_MD_CTX
};

}  // namespace burrowlink::platform
