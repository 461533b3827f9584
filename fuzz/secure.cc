// The secure channel's readers on hostile bytes: the handshake from either
// side, the record reader on raw bytes, and records a real writer sealed
// with one byte flipped, of which the reader may deliver only the bytes
// whose tags checked.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz.h"
#include "platform/network.h"
#include "secure/channel.h"

namespace {

using namespace burrowlink;
using platform::TcpStream;

constexpr std::size_t MAX_INPUT = 64 * 1024;

secure::KeyPair key_pair(std::uint8_t seed) {
  secure::Key key{};
  key.fill(seed);
  Result<secure::KeyPair> made = secure::key_pair_from(key);
  FUZZ_CHECK(made.ok());
  return *made;
}

secure::Transport transport(bool first) {
  secure::Key a{}, b{};
  a.fill(1);
  b.fill(2);
  return first ? secure::Transport{secure::CipherState(a),
                                   secure::CipherState(b),
                                   {},
                                   {}}
               : secure::Transport{
                     secure::CipherState(b), secure::CipherState(a), {}, {}};
}

// Everything the channel over `tcp` delivers before it ends or fails,
// reading in the sizes `input` suggests, waiting and not.
std::vector<std::uint8_t> read_all(TcpStream& tcp, secure::ConstBytes input) {
  Result<secure::SecureChannel> channel =
      secure::SecureChannel::over(tcp, transport(false));
  FUZZ_CHECK(channel.ok());
  std::vector<std::uint8_t> got;
  std::uint8_t buffer[70000];
  for (std::size_t turn = 0;; ++turn) {
    const std::size_t size =
        1 + (input.empty() ? 4095 : input[turn % input.size()] * 300);
    Result<std::size_t> read =
        turn % 3 == 0 ? channel->read_available({buffer, size})
                      : channel->read_some({buffer, size},
                                           turn % 2 ? platform::Expect::all
                                                    : platform::Expect::data);
    if (!read.ok() || (*read == 0 && turn % 3 != 0)) return got;
    got.insert(got.end(), buffer, buffer + *read);
  }
}

void feed(TcpStream& to, secure::ConstBytes bytes) {
  FUZZ_CHECK(to.write_all(bytes).ok());
  to.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1 || size > MAX_INPUT) return 0;
  const std::uint8_t mode = data[0] % 4;
  const secure::ConstBytes rest(data + 1, size - 1);
  auto streams = TcpStream::pair();
  FUZZ_CHECK(streams.ok());
  TcpStream& ours = streams->first;
  TcpStream& theirs = streams->second;
  const auto take_all = [](const secure::Peer&) { return Status{}; };
  if (mode == 0) {
    // The initiator's messages, as a responder reads them.
    feed(theirs, rest);
    FUZZ_CHECK(!secure::respond(ours, key_pair(3), {}, take_all).ok());
  } else if (mode == 1) {
    // The responder's, as an initiator reads them.
    feed(theirs, rest);
    FUZZ_CHECK(!secure::initiate(ours, key_pair(3), [](const secure::Peer&) {
                  return Result<secure::Buffer>(secure::Buffer());
                }).ok());
  } else if (mode == 2) {
    // Raw bytes: no record of them can be authentic.
    feed(theirs, rest);
    FUZZ_CHECK(read_all(ours, rest).empty());
  } else {
    // Sealed records of the input's bytes, then one byte flipped where the
    // input's first two bytes say (past the end: none).
    if (rest.size() < 2) return 0;
    const std::size_t flip = std::size_t{rest[0]} << 8 | rest[1];
    const secure::ConstBytes payload = rest.subspan(2);
    auto wire_pair = TcpStream::pair();
    FUZZ_CHECK(wire_pair.ok());
    {
      Result<secure::SecureChannel> writer =
          secure::SecureChannel::over(wire_pair->first, transport(true));
      FUZZ_CHECK(writer.ok());
      for (std::size_t at = 0; at < payload.size(); at += 1000) {
        const std::size_t n = std::min<std::size_t>(1000, payload.size() - at);
        FUZZ_CHECK(
            writer->write_all(payload.subspan(at, n), at % 3000 == 0).ok());
      }
    }
    wire_pair->first.close();
    std::vector<std::uint8_t> wire;
    std::uint8_t chunk[65536];
    for (;;) {
      Result<std::size_t> got = wire_pair->second.read_some(chunk);
      if (!got.ok() || *got == 0) break;
      wire.insert(wire.end(), chunk, chunk + *got);
    }
    if (flip < wire.size()) wire[flip] ^= 0x01;
    feed(theirs, wire);
    const std::vector<std::uint8_t> got = read_all(ours, payload);
    FUZZ_CHECK(got.size() <= payload.size());
    FUZZ_CHECK(std::equal(got.begin(), got.end(), payload.begin()));
    if (flip >= wire.size()) FUZZ_CHECK(got.size() == payload.size());
  }
  return 0;
}
