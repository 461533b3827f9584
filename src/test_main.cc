// Entry point of the test binaries: refuses to run anywhere but inside a
// private network namespace, since the tests bind discovery ports and
// broadcast.
#include <cstdio>
#include <string>

#include "test_util.h"

int main(int argc, char** argv) {
  std::string why;
  if (!burrowlink::testing::network_is_isolated(&why)) {
    std::fprintf(stderr, "refusing to run: %s\n", why.c_str());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
