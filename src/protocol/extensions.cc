#include "protocol/extensions.h"

#include <array>
#include <set>

#include "platform/process.h"

namespace burrowlink {

namespace {

using json::Token;

// Reads the members of the object whose `{` the reader has just given,
// handing each name and the first token of its value to `member`, which
// takes or skips the whole value. False on a syntax error or a repeated
// name.
template <typename Member>
bool read_members(json::Reader& reader, bool& repeated, Member member) {
  std::set<std::string, std::less<>> seen;
  for (Token token; (token = reader.next()) != Token::end_object;) {
    if (token == Token::error) return false;
    std::string name(reader.string());
    const Token first = reader.next();
    if (first == Token::error) return false;
    if (!seen.insert(name).second) repeated = true;
    if (!member(name, first)) return false;
  }
  return true;
}

// The unsigned integer that `first` is, if it is one.
std::optional<std::uint64_t> unsigned_value(json::Reader& reader, Token first) {
  if (first != Token::number) return std::nullopt;
  return json::to_uint64(reader.number());
}

std::optional<std::string> token_value(json::Reader& reader, Token first) {
  if (first != Token::string || !is_token(reader.string())) return std::nullopt;
  return std::string(reader.string());
}

// The "stream" object of either side: its version, window and token, each
// when usable. False on a syntax error.
struct StreamMember {
  std::optional<std::uint64_t> version, files, bytes;
  std::optional<std::string> token;
  bool usable = true;
};
bool read_stream(json::Reader& reader, Token first, StreamMember& out) {
  if (first != Token::begin_object) {
    out.usable = false;
    return reader.skip();
  }
  bool repeated = false;
  const bool read =
      read_members(reader, repeated, [&](std::string_view name, Token value) {
        if (name == "version") {
          out.version = unsigned_value(reader, value);
        } else if (name == "files") {
          out.files = unsigned_value(reader, value);
        } else if (name == "bytes") {
          out.bytes = unsigned_value(reader, value);
        } else if (name == "token") {
          out.token = token_value(reader, value);
        }
        return reader.skip();
      });
  if (repeated || !out.version || *out.version == 0) out.usable = false;
  return read;
}

}  // namespace

void append_offer_extensions(std::string& out, const OfferExtensions& ext) {
  out += "{\"stream\":{\"version\":";
  out += std::to_string(ext.stream);
  if (ext.token) {
    out += ",\"token\":";
    json::append_string(out, *ext.token);
  }
  out += "}}";
}

std::optional<OfferExtensions> read_offer_extensions(json::Reader& reader,
                                                     Token first, bool& ok) {
  ok = true;
  if (first != Token::begin_object) {
    ok = reader.skip();
    return std::nullopt;
  }
  OfferExtensions ext;
  StreamMember stream;
  bool have_stream = false, repeated = false;
  ok = read_members(reader, repeated, [&](std::string_view name, Token value) {
    if (name != "stream") return reader.skip();
    have_stream = true;
    return read_stream(reader, value, stream);
  });
  if (!ok || repeated || !have_stream || !stream.usable) return std::nullopt;
  ext.stream = *stream.version;
  ext.token = stream.token;
  return ext;
}

std::string extension_answer_to_json(const ExtensionAnswer& answer) {
  std::string out = "{";
  if (answer.stream) {
    out += "\"stream\":{\"version\":" + std::to_string(STREAM_VERSION) +
           ",\"files\":" + std::to_string(answer.stream->files) +
           ",\"bytes\":" + std::to_string(answer.stream->bytes);
    if (answer.token) {
      out += ",\"token\":";
      json::append_string(out, *answer.token);
    }
    out += '}';
  }
  out += '}';
  return out;
}

Result<ExtensionAnswer> extension_answer_from_json(std::string_view body) {
  json::Reader reader(body);
  const Token first = reader.next();
  if (first != Token::begin_object) {
    return Error{"the extension answer is no JSON object",
                 ErrorKind::invalid_data};
  }
  StreamMember stream;
  bool have_stream = false, repeated = false;
  const bool read =
      read_members(reader, repeated, [&](std::string_view name, Token value) {
        if (name != "stream") return reader.skip();
        have_stream = true;
        return read_stream(reader, value, stream);
      });
  // Only white space may follow the object.
  if (!read ||
      body.find_first_not_of(" \t\n\r", reader.end()) != std::string::npos) {
    return Error{"the extension answer is not valid JSON",
                 ErrorKind::invalid_data};
  }
  ExtensionAnswer answer;
  // A stream we cannot use leaves the files in lockstep, which every
  // receiver of ours also takes.
  if (have_stream && !repeated && stream.usable &&
      *stream.version == STREAM_VERSION && stream.files && stream.bytes &&
      *stream.files > 0 && *stream.bytes > 0) {
    answer.stream = StreamWindow{*stream.files, *stream.bytes};
    answer.token = stream.token;
  }
  return answer;
}

Status write_extension_answer(platform::TcpStream& stream,
                              const ExtensionAnswer& answer) {
  const std::string body = extension_answer_to_json(answer);
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame += static_cast<char>(ANSWER_ACCEPT_EXTENDED);
  for (int shift = 24; shift >= 0; shift -= 8) {
    frame += static_cast<char>(length >> shift);
  }
  frame += body;
  return stream.write_all(
      {reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
}

Result<ExtensionAnswer> read_extension_answer(platform::TcpStream& stream) {
  std::array<std::uint8_t, 4> prefix{};
  if (Status got = stream.read_exact(prefix); !got.ok()) {
    return std::move(got).error();
  }
  const std::uint32_t length =
      std::uint32_t{prefix[0]} << 24 | std::uint32_t{prefix[1]} << 16 |
      std::uint32_t{prefix[2]} << 8 | std::uint32_t{prefix[3]};
  if (length > MAX_EXTENSION_ANSWER_BYTES) {
    return Error{"the extension answer of " + std::to_string(length) +
                     " bytes is longer than " +
                     std::to_string(MAX_EXTENSION_ANSWER_BYTES),
                 ErrorKind::invalid_data};
  }
  std::string body(length, '\0');
  if (Status got = stream.read_exact(
          {reinterpret_cast<std::uint8_t*>(body.data()), body.size()});
      !got.ok()) {
    return std::move(got).error();
  }
  return extension_answer_from_json(body);
}

std::string new_token() {
  std::array<std::uint8_t, 16> bytes{};
  if (Status random = platform::random_bytes(bytes); !random.ok()) {
    platform::fatal("could not retrieve random bytes for a token: " +
                    random.error().message);
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string token;
  for (std::uint8_t byte : bytes) {
    token += HEX[byte >> 4];
    token += HEX[byte & 0x0F];
  }
  return token;
}

bool is_token(std::string_view text) {
  return text.size() == 32 &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace burrowlink
