#include "rules/posix_rules.h"

#include <gtest/gtest.h>

namespace burrowlink::rules::posix {
namespace {

TEST(PosixPaths, JoinAndParent) {
  EXPECT_EQ("a/b", join_path("a", "b"));
  EXPECT_EQ("a/b", join_path("a/", "b"));
  EXPECT_EQ("b", join_path("", "b"));
  EXPECT_EQ("./b", join_path(".", "b"));
  EXPECT_EQ("a/b", parent_path("a/b/c"));
  EXPECT_EQ("a", parent_path("a/b/"));
  EXPECT_EQ("/", parent_path("/a"));
  EXPECT_EQ("/", parent_path("//a"));
  EXPECT_EQ("", parent_path("a"));
}

}  // namespace
}  // namespace burrowlink::rules::posix
