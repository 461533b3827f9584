#include "protocol/continuations.h"

#include <gtest/gtest.h>

namespace burrowlink {
namespace {

using Clock = Continuation::Clock;

using namespace std::chrono_literals;

const std::string TOKEN_A(32, 'a'), TOKEN_B(32, 'b');
const SocketAddress HOME_IP = SocketAddress::v4({10, 0, 0, 1}, 4000);

// An offer of `files` files of `size` bytes each that brings `token`.
Offer part(const std::string& token, std::size_t files = 1,
           std::uint64_t size = 10, std::string from_id = "p") {
  Offer offer{
      "Desk", std::move(from_id), {}, std::nullopt, OfferExtensions{1, token}};
  offer.files.assign(files, FileInfo{"f", size});
  return offer;
}

Continuation awaited(const std::string& token, Clock::time_point now) {
  return {token, HOME_IP, "p", now + CONTINUATION_LIMIT, 5, 50};
}

// A token lets in one offer of its sender, in time and within what was
// agreed to; a stranger who brings it spends nothing.
TEST(Continuations, ATokenLetsInOnlyWhatItsSenderWasAgreedTo) {
  const Clock::time_point now = Clock::now();
  struct Case {
    const char* what;
    Offer offer;
    SocketAddress from = HOME_IP;
    Clock::duration later{};
    bool admitted;
    std::size_t left;  // entries kept afterwards
  };
  for (const Case& c : {
           Case{"the next part", part(TOKEN_A, 5), HOME_IP, {}, true, 0},
           Case{"all the bytes", part(TOKEN_A, 1, 50), HOME_IP, {}, true, 0},
           Case{"more files", part(TOKEN_A, 6, 1), HOME_IP, {}, false, 0},
           Case{"more bytes", part(TOKEN_A, 1, 51), HOME_IP, {}, false, 0},
           Case{"too late", part(TOKEN_A), HOME_IP, CONTINUATION_LIMIT + 1s,
                false, 0},
           Case{"another token", part(TOKEN_B), HOME_IP, {}, false, 1},
           Case{"another address",
                part(TOKEN_A),
                SocketAddress::v4({10, 0, 0, 2}, 4000),
                {},
                false,
                1},
           Case{"another sender",
                part(TOKEN_A, 1, 10, "q"),
                HOME_IP,
                {},
                false,
                1},
       }) {
    SCOPED_TRACE(c.what);
    Continuations kept;
    kept.add(awaited(TOKEN_A, now), now);
    EXPECT_EQ(c.admitted,
              kept.take(c.offer, c.from, now + c.later).has_value());
    EXPECT_EQ(c.left, kept.size());
  }
}

// Other sends served between two parts leave each send its token, up to
// the bound, past which the one nearest its end goes.
TEST(Continuations, EachSendKeepsItsOwnTokenUpToTheBound) {
  const Clock::time_point now = Clock::now();
  Continuations kept;
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i <= CONTINUATIONS_KEPT; ++i) {
    std::string token(32, '0');
    token[0] = "0123456789abcdefg"[i];
    tokens.push_back(token);
    kept.add(awaited(token, now + std::chrono::seconds(i)), now);
  }
  EXPECT_EQ(CONTINUATIONS_KEPT, kept.size());
  EXPECT_FALSE(kept.take(part(tokens.front()), HOME_IP, now).has_value());
  for (std::size_t i = tokens.size(); i-- > 1;) {
    EXPECT_TRUE(kept.take(part(tokens[i]), HOME_IP, now).has_value()) << i;
  }
}

}  // namespace
}  // namespace burrowlink
