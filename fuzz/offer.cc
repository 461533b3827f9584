// The offer reader on whole frames, as the receiver reads them from its
// connection: the length prefix, then the body; the body also as a
// receiver's extension answer, as the sender reads it.
#include "protocol/offer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"
#include "platform/network.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "storage/names.h"
#include "text/unicode.h"

namespace {

using namespace burrowlink;

// What a socket pair takes before anyone reads; a bigger body parses no
// differently from a smaller one.
constexpr std::size_t MAX_INPUT = 64 * 1024;

bool all_valid_utf8(const Offer& offer) {
  if (!text::is_valid_utf8(offer.from)) return false;
  if (offer.from_id && !text::is_valid_utf8(*offer.from_id)) return false;
  if (offer.text && !text::is_valid_utf8(*offer.text)) return false;
  for (const FileInfo& file : offer.files) {
    if (!text::is_valid_utf8(file.name)) return false;
    if (file.folder && !text::is_valid_utf8(*file.folder)) return false;
  }
  return true;
}

// The folders a receiver would make for `folder` stay below its own: no
// part can step out, name a root, or hide a separator or a control.
bool stays_inside(const std::string& folder) {
  const std::vector<std::string> parts = folder_parts(folder);
  if (parts.size() > MAX_FOLDER_DEPTH) return false;
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return false;
    for (unsigned char c : part) {
      if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > MAX_INPUT) return 0;
  auto streams = platform::TcpStream::pair();
  FUZZ_CHECK(streams.ok());
  auto& [writer, reader] = *streams;
  FUZZ_CHECK(writer.write_all({data, size}).ok());
  writer.close();
  const Result<Offer> read = read_offer(reader);

  // The frame as the reader must take it: four bytes of big-endian length,
  // then exactly that many bytes of body; whatever follows is not its.
  const std::string_view frame(reinterpret_cast<const char*>(data), size);
  if (size < 4) {
    FUZZ_CHECK(!read.ok() && read.error().kind == ErrorKind::unexpected_eof);
    return 0;
  }
  const std::uint32_t length = std::uint32_t{data[0]} << 24 |
                               std::uint32_t{data[1]} << 16 |
                               std::uint32_t{data[2]} << 8 | data[3];
  if (length > MAX_OFFER_BYTES) {
    FUZZ_CHECK(!read.ok() && read.error().message == "message too large" &&
               read.error().kind == ErrorKind::invalid_data);
    return 0;
  }
  if (size - 4 < length) {
    FUZZ_CHECK(!read.ok() && read.error().kind == ErrorKind::unexpected_eof);
    return 0;
  }
  const std::string_view body = frame.substr(4, length);
  // The same body as a receiver's extension answer: read without a fault,
  // and what is read is written back the same.
  if (const Result<ExtensionAnswer> answer = extension_answer_from_json(body);
      answer.ok()) {
    const Result<ExtensionAnswer> again =
        extension_answer_from_json(extension_answer_to_json(*answer));
    FUZZ_CHECK(again.ok() && *again == *answer);
    FUZZ_CHECK(!answer->token || is_token(*answer->token));
  }
  const Result<Offer> parsed = offer_from_json(body);
  FUZZ_CHECK(read.ok() == parsed.ok());
  if (!read.ok()) {
    FUZZ_CHECK(read.error().kind == ErrorKind::invalid_data);
    FUZZ_CHECK(read.error().message == parsed.error().message);
    return 0;
  }
  FUZZ_CHECK(*read == *parsed);
  FUZZ_CHECK(all_valid_utf8(*read));
  for (const FileInfo& file : read->files) {
    if (file.folder) FUZZ_CHECK(stays_inside(*file.folder));
  }

  // Written again, it reads back the same.
  const Result<Offer> again = offer_from_json(offer_to_json(*read));
  FUZZ_CHECK(again.ok() && *again == *read);
  return 0;
}
