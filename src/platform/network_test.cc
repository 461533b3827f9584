// What the sockets promise on every system.
#include "platform/network.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace burrowlink::platform {
namespace {

TEST(Streams, ShortReadIsFillBufferError) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  std::uint8_t two[2] = {1, 2};
  ASSERT_OK(pair->second.write_all(two));
  pair->second.close();
  std::uint8_t three[3];
  Status status = pair->first.read_exact(three);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ("failed to fill whole buffer", status.error().message);
  EXPECT_EQ(ErrorKind::unexpected_eof, status.error().kind);
}

}  // namespace
}  // namespace burrowlink::platform
