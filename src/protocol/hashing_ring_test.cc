#include "protocol/hashing_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "test_util.h"

namespace burrowlink {
namespace {

platform::Digest one_shot(const std::vector<std::uint8_t>& data) {
  return testing::sha256_of(
      {reinterpret_cast<const char*>(data.data()), data.size()});
}

// Slots are refilled as soon as the ring hands them out again, so a slot
// handed out while its bytes were still being hashed would spoil the digest.
TEST(HashingRing, DigestOfEveryChunkWhateverTheirSizes) {
  std::mt19937 random(11);
  HashingRing ring(64 * 1024, 2);
  for (std::size_t chunk_bytes :
       {std::size_t{1}, std::size_t{4096}, HashingRing::INLINE_BYTES + 1,
        std::size_t{64 * 1024}}) {
    std::vector<std::uint8_t> file;
    ring.start_file();
    for (int n = 0; n < 40; ++n) {
      std::span<std::uint8_t> slot = ring.next_slot();
      std::size_t size = std::min(chunk_bytes, slot.size());
      for (std::size_t i = 0; i < size; ++i) {
        slot[i] = static_cast<std::uint8_t>(random());
      }
      file.insert(file.end(), slot.begin(), slot.begin() + size);
      // Chunks hashed here and chunks handed over must keep their order.
      ring.hash(slot.first(size), n % 3 == 0);
    }
    EXPECT_EQ(one_shot(file), ring.finish_file()) << chunk_bytes;
  }
  ring.start_file();
  EXPECT_EQ(one_shot({}), ring.finish_file());
}

TEST(HashingRing, AFileLeftHalfwayDoesNotLeakIntoTheNext) {
  HashingRing ring(256 * 1024, 4);
  ring.start_file();
  std::span<std::uint8_t> slot = ring.next_slot();
  std::fill(slot.begin(), slot.end(), 0xAB);
  ring.hash(slot);  // a file that failed after this chunk
  ring.start_file();
  slot = ring.next_slot();
  slot[0] = 'x';
  ring.hash(slot.first(1));
  EXPECT_EQ(one_shot({'x'}), ring.finish_file());
}

}  // namespace
}  // namespace burrowlink
