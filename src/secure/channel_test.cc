#include "secure/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/coding.h"

namespace burrowlink::secure {
namespace {

using platform::TcpStream;

Transport transport(std::uint8_t send, std::uint8_t receive) {
  Key a{}, b{};
  a.fill(send);
  b.fill(receive);
  return Transport{CipherState(a), CipherState(b), {}, std::nullopt};
}

Buffer bytes_of(std::string_view text) {
  return Buffer(text.begin(), text.end());
}

// Everything `tcp` delivers until its peer closes.
Buffer drain(TcpStream& tcp) {
  Buffer all;
  std::uint8_t chunk[65536];
  for (;;) {
    Result<std::size_t> got = tcp.read_some(chunk);
    if (!got.ok() || *got == 0) return all;
    all.insert(all.end(), chunk, chunk + *got);
  }
}

// The records a channel writes for `writes`, then its closing record.
Buffer records_of(const std::vector<Buffer>& writes) {
  auto pair = TcpStream::pair();
  EXPECT_TRUE(pair.ok());
  Buffer wire;
  std::thread reader([&] { wire = drain(pair->second); });
  {
    Result<SecureChannel> channel =
        SecureChannel::over(pair->first, transport(1, 2));
    EXPECT_TRUE(channel.ok());
    for (const Buffer& write : writes)
      EXPECT_TRUE(channel->write_all(write).ok());
  }
  pair->first.close();
  reader.join();
  return wire;
}

// Where each record of `wire` starts.
std::vector<std::size_t> record_starts(const Buffer& wire) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 2 <= wire.size();
       at += 2 + (std::size_t{wire[at]} << 8 | wire[at + 1])) {
    starts.push_back(at);
  }
  return starts;
}

struct ReadBack {
  Buffer data;
  std::optional<Error> error;
};

// What the other side's channel reads from `wire`, to the end.
ReadBack read_back(const Buffer& wire) {
  auto pair = TcpStream::pair();
  EXPECT_TRUE(pair.ok());
  std::thread writer([&] {
    EXPECT_TRUE(pair->first.write_all(wire).ok());
    pair->first.close();
  });
  ReadBack back;
  Result<SecureChannel> channel =
      SecureChannel::over(pair->second, transport(2, 1));
  EXPECT_TRUE(channel.ok());
  std::uint8_t chunk[70000];
  for (;;) {
    Result<std::size_t> got = channel->read_some(chunk, platform::Expect::data);
    if (!got.ok()) {
      back.error = got.error();
      break;
    }
    if (*got == 0) break;
    back.data.insert(back.data.end(), chunk, chunk + *got);
  }
  writer.join();
  return back;
}

TEST(SecureChannel, DamagedRecordsFailAndDeliverOnlyCheckedBytes) {
  // Three data records (the first full), then the closing one.
  const Buffer first(RECORD_PAYLOAD_MAX + 5000, 'a');
  const Buffer second = bytes_of("the second write");
  Buffer sent = first;
  sent.insert(sent.end(), second.begin(), second.end());
  const Buffer wire = records_of({first, second});
  const std::vector<std::size_t> at = record_starts(wire);
  ASSERT_EQ(4u, at.size());

  struct Case {
    const char* name;
    std::function<Buffer(Buffer)> damage;
    std::string_view error;  // empty: read whole
  };
  const Case cases[] = {
      {"intact", [](Buffer w) { return w; }, ""},
      {"a flipped byte in the second record",
       [&](Buffer w) {
         w[at[1] + 40] ^= 1;
         return w;
       },
       "failed its authentication"},
      {"a flipped length",
       [&](Buffer w) {
         w[at[2] + 1] ^= 1;
         return w;
       },
       "failed its authentication"},
      {"the second record replayed",
       [&](Buffer w) {
         w.insert(w.begin() + at[2], w.begin() + at[1], w.begin() + at[2]);
         return w;
       },
       "failed its authentication"},
      {"two records swapped",
       [&](Buffer w) {
         Buffer swapped(w.begin(), w.begin() + at[1]);
         swapped.insert(swapped.end(), w.begin() + at[2], w.begin() + at[3]);
         swapped.insert(swapped.end(), w.begin() + at[1], w.begin() + at[2]);
         swapped.insert(swapped.end(), w.begin() + at[3], w.end());
         return swapped;
       },
       "failed its authentication"},
      {"cut inside a record",
       [&](Buffer w) {
         w.resize(at[1] + 10);
         return w;
       },
       CUT_LINK_TEXT},
      {"no closing record",
       [&](Buffer w) {
         w.resize(at[3]);
         return w;
       },
       CUT_LINK_TEXT},
      {"a length shorter than a tag",
       [&](Buffer w) {
         w[at[1]] = 0;
         w[at[1] + 1] = 3;
         return w;
       },
       "shorter than its tag"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadBack back = read_back(c.damage(wire));
    if (c.error.empty()) {
      EXPECT_FALSE(back.error) << back.error->message;
      EXPECT_EQ(sent, back.data);
      continue;
    }
    ASSERT_TRUE(back.error);
    EXPECT_NE(std::string::npos, back.error->message.find(c.error))
        << back.error->message;
    // Whatever was delivered came from records whose tags checked.
    ASSERT_LE(back.data.size(), sent.size());
    EXPECT_TRUE(std::equal(back.data.begin(), back.data.end(), sent.begin()));
  }
}

TEST(SecureChannel, ReadsAsTheSocketDoes) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  Result<SecureChannel> ours =
      SecureChannel::over(pair->first, transport(1, 2));
  Result<SecureChannel> theirs =
      SecureChannel::over(pair->second, transport(2, 1));
  ASSERT_TRUE(ours.ok() && theirs.ok());
  // Gathered while more follows: nothing is readable before the last write.
  ASSERT_TRUE(ours->write_all(bytes_of("abc"), true).ok());
  std::uint8_t buffer[300000];
  Result<std::size_t> none = theirs->read_available(buffer);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(0u, *none);
  Buffer big(200000, 'z');
  std::size_t written = 0;
  ASSERT_TRUE(ours->write_all(big, false, &written).ok());
  EXPECT_EQ(big.size(), written);
  // `all` waits for the whole buffer, across records.
  ASSERT_TRUE(
      theirs->read_exact({buffer, 3 + big.size()}, platform::Expect::all).ok());
  EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
  EXPECT_EQ(0, std::memcmp(buffer + 3, big.data(), big.size()));
  // The closing record ends the stream as a close does: 0, then a read of
  // owed bytes fails as a cut one would.
  ours->close();
  EXPECT_FALSE(ours->write_all(bytes_of("late")).ok());
  Result<std::size_t> end = theirs->read_some(buffer);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(0u, *end);
  Status owed = theirs->read_exact({buffer, 1});
  ASSERT_FALSE(owed.ok());
  EXPECT_EQ(platform::FILL_BUFFER_TEXT, owed.error().message);
}

KeyPair pair_of(std::uint8_t seed) {
  Key key{};
  key.fill(seed);
  Result<KeyPair> made = key_pair_from(key);
  EXPECT_TRUE(made.ok());
  return *made;
}

TEST(SecureChannel, HandshakeCarriesEachSidesCardAndLetsEitherRefuse) {
  struct Case {
    const char* name;
    bool initiator_refuses, responder_refuses;
  };
  for (const Case& c : {Case{"both take the other", false, false},
                        Case{"the initiator refuses", true, false},
                        Case{"the responder refuses", false, true}}) {
    SCOPED_TRACE(c.name);
    auto pair = TcpStream::pair();
    ASSERT_TRUE(pair.ok());
    const KeyPair initiator_key = pair_of(3), responder_key = pair_of(4);
    std::optional<Peer> seen_by_initiator, seen_by_responder;
    std::optional<Result<SecureChannel>> responded;
    std::thread responder([&] {
      std::uint8_t preamble[4];
      ASSERT_TRUE(pair->second.read_exact(preamble).ok());
      EXPECT_EQ(0, std::memcmp(preamble, PREAMBLE.data(), 4));
      responded.emplace(respond(pair->second, responder_key,
                                bytes_of("responder"),
                                [&](const Peer& peer) -> Status {
                                  seen_by_responder = peer;
                                  if (c.responder_refuses) return Error{"no"};
                                  return {};
                                }));
      if (!responded->ok()) pair->second.close();
    });
    Result<SecureChannel> initiated = initiate(
        pair->first, initiator_key, [&](const Peer& peer) -> Result<Buffer> {
          seen_by_initiator = peer;
          if (c.initiator_refuses) return Error{"no"};
          return bytes_of("initiator");
        });
    if (!initiated.ok()) pair->first.close();
    responder.join();
    ASSERT_TRUE(seen_by_initiator);
    EXPECT_EQ(responder_key.public_key, seen_by_initiator->key);
    EXPECT_EQ(bytes_of("responder"), seen_by_initiator->payload);
    // The initiator names itself only to a responder it took.
    EXPECT_EQ(!c.initiator_refuses, seen_by_responder.has_value());
    ASSERT_TRUE(responded);
    EXPECT_EQ(!c.initiator_refuses && !c.responder_refuses, responded->ok());
    if (seen_by_responder) {
      EXPECT_EQ(initiator_key.public_key, seen_by_responder->key);
      EXPECT_EQ(bytes_of("initiator"), seen_by_responder->payload);
    }
    if (!initiated.ok() || !responded->ok()) continue;
    ASSERT_TRUE(initiated->write_all(bytes_of("ping")).ok());
    std::uint8_t got[4];
    ASSERT_TRUE((*responded)->read_exact(got).ok());
    EXPECT_EQ(0, std::memcmp(got, "ping", 4));
  }
}

TEST(SecureChannel, AnOversizedHandshakeMessageIsRefusedUnread) {
  auto pair = TcpStream::pair();
  ASSERT_TRUE(pair.ok());
  const std::uint8_t huge[] = {0xFF, 0xFF};
  ASSERT_TRUE(pair->first.write_all(huge).ok());
  Result<SecureChannel> responded = respond(
      pair->second, pair_of(5), {}, [](const Peer&) { return Status{}; });
  ASSERT_FALSE(responded.ok());
  EXPECT_EQ("secure handshake failed: a message of 65535 bytes",
            responded.error().message);
}

}  // namespace
}  // namespace burrowlink::secure
