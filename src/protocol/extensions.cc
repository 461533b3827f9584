#include "protocol/extensions.h"

#include <array>

#include "platform/process.h"
#include "protocol/frame.h"
#include "protocol/offer.h"
#include "protocol/wire.h"
#include "text/hex.h"
#include "text/json_members.h"

namespace burrowlink {

namespace {

using text::json::Token;

// Extension objects: unknown members skipped, a repeated one noted, which
// makes the object unusable.
constexpr text::json::MemberRules NOTED{.skip_others = true,
                                        .note_repeats = true};

constexpr text::json::Member TOTAL_MEMBERS[] = {{"files"}, {"bytes"}};
constexpr text::json::Member STREAM_MEMBERS[] = {
    {"version"}, {"files"}, {"bytes"}, {"token"}, {"next_files"}, {"total"}};
enum class StreamAt : std::size_t {
  version,
  files,
  bytes,
  token,
  next_files,
  total
};
constexpr text::json::Member RESUME_MEMBERS[] = {{"version"}, {"files"}};
// Of the offer's member and of the answer alike: "stream", then "resume".
constexpr text::json::Member EXTENSION_MEMBERS[] = {{"stream"}, {"resume"}};
constexpr std::size_t RESUME_AT = 1;
// The offer's: those, then "secure".
constexpr text::json::Member OFFER_EXTENSION_MEMBERS[] = {
    {"stream"}, {"resume"}, {"secure"}};
constexpr std::size_t SECURE_AT = 2;

// The unsigned integer that `first` is, if it is one.
std::optional<std::uint64_t> unsigned_value(text::json::Reader& reader,
                                            Token first) {
  if (first != Token::number) return std::nullopt;
  return text::json::to_uint64(reader.number());
}

std::optional<std::string> token_value(text::json::Reader& reader,
                                       Token first) {
  if (first != Token::string || !is_token(reader.string())) return std::nullopt;
  return std::string(reader.string());
}

// The "stream" object of either side: its version, window and token, each
// when usable. False on a syntax error.
struct StreamMember {
  std::optional<std::uint64_t> version, files, bytes, next_files;
  std::optional<std::string> token;
  std::optional<SendTotal> total;
  bool usable = true;
};

// The offer's "total" object; nullopt unless both counts are there once.
bool read_total(text::json::Reader& reader, Token first,
                std::optional<SendTotal>& out) {
  out.reset();
  if (first != Token::begin_object) return reader.skip();
  std::optional<std::uint64_t> counts[2];
  const text::json::MembersRead read = text::json::read_members(
      reader, TOTAL_MEMBERS, NOTED, [&](std::size_t member, Token value) {
        counts[member] = unsigned_value(reader, value);
        return reader.skip();
      });
  if (read.ok() && !read.repeated && counts[0] && counts[1]) {
    out = SendTotal{*counts[0], *counts[1]};
  }
  return read.ok();
}

bool read_stream(text::json::Reader& reader, Token first, StreamMember& out) {
  if (first != Token::begin_object) {
    out.usable = false;
    return reader.skip();
  }
  const text::json::MembersRead read = text::json::read_members(
      reader, STREAM_MEMBERS, NOTED, [&](std::size_t member, Token value) {
        switch (static_cast<StreamAt>(member)) {
          case StreamAt::version:
            out.version = unsigned_value(reader, value);
            break;
          case StreamAt::files:
            out.files = unsigned_value(reader, value);
            break;
          case StreamAt::bytes:
            out.bytes = unsigned_value(reader, value);
            break;
          case StreamAt::token:
            out.token = token_value(reader, value);
            break;
          case StreamAt::next_files:
            out.next_files = unsigned_value(reader, value);
            break;
          case StreamAt::total:
            return read_total(reader, value, out.total);
        }
        return reader.skip();
      });
  if (read.repeated || !out.version || *out.version == 0) out.usable = false;
  return read.ok();
}

// The ends of a resume entry, rising, whose `[` the reader has just given;
// `shaped` turns false unless each is a number past the last. False on a
// syntax error.
bool read_ends(text::json::Reader& reader, ResumeAt& at, bool& shaped) {
  for (Token end; (end = reader.next()) != Token::end_array;) {
    if (end == Token::error) return false;
    const std::optional<std::uint64_t> n = unsigned_value(reader, end);
    shaped = shaped && n && *n > at.offset();
    if (n) at.ends.push_back(*n);
    if (!reader.skip()) return false;
  }
  return true;
}

// One entry of the answer's resume files, [index, [end, ...]], starting
// with `first`; added to `files` when it has an index, with no ends unless
// it has that shape. False on a syntax error.
bool read_resume_entry(text::json::Reader& reader, Token first,
                       std::vector<ResumeAt>& files) {
  if (first != Token::begin_array) return reader.skip();
  ResumeAt at;
  bool shaped = true, indexed = false;
  std::size_t count = 0;
  for (Token part; (part = reader.next()) != Token::end_array; ++count) {
    if (part == Token::error) return false;
    if (count == 0) {
      const std::optional<std::uint64_t> n = unsigned_value(reader, part);
      shaped = shaped && n.has_value();
      indexed = n.has_value();
      at.index = n.value_or(0);
    } else if (count == 1 && part == Token::begin_array) {
      if (!read_ends(reader, at, shaped)) return false;
      continue;
    } else {
      shaped = false;
    }
    if (!reader.skip()) return false;
  }
  shaped = shaped && count == 2 && !at.ends.empty() &&
           at.ends.size() <= MAX_RESUME_STRETCHES;
  // A file named in an entry we cannot use still gets its start word: it
  // starts at 0.
  if (!shaped) at.ends.clear();
  if (indexed) files.push_back(std::move(at));
  return true;
}

// The answer's "resume" object: its version and the files it offers;
// entries of another shape are left out.
bool read_resume(text::json::Reader& reader, Token first, bool& usable,
                 std::vector<ResumeAt>& files) {
  if (first != Token::begin_object) {
    usable = false;
    return reader.skip();
  }
  bool have_files = false;
  std::optional<std::uint64_t> version;
  const text::json::MembersRead read = text::json::read_members(
      reader, RESUME_MEMBERS, NOTED, [&](std::size_t member, Token value) {
        if (member == 0) {
          version = unsigned_value(reader, value);
          return reader.skip();
        }
        have_files = value == Token::begin_array;
        if (!have_files) return reader.skip();
        for (Token entry; (entry = reader.next()) != Token::end_array;) {
          if (!read_resume_entry(reader, entry, files)) return false;
        }
        return true;
      });
  usable = !read.repeated && have_files && version == RESUME_VERSION;
  return read.ok();
}

}  // namespace

void append_offer_extensions(std::string& out, const OfferExtensions& ext) {
  out += "{\"stream\":{\"version\":";
  out += std::to_string(ext.stream);
  if (ext.token) {
    out += ",\"token\":";
    text::json::append_string(out, *ext.token);
  }
  if (ext.total) {
    out += ",\"total\":{\"files\":" + std::to_string(ext.total->files) +
           ",\"bytes\":" + std::to_string(ext.total->bytes) + '}';
  }
  out += '}';
  if (ext.resume > 0) {
    out += ",\"resume\":{\"version\":" + std::to_string(ext.resume) + '}';
  }
  if (ext.secure > 0) {
    out += ",\"secure\":{\"version\":" + std::to_string(ext.secure) + '}';
  }
  out += '}';
}

std::optional<OfferExtensions> read_offer_extensions(text::json::Reader& reader,
                                                     Token first, bool& ok) {
  ok = true;
  if (first != Token::begin_object) {
    ok = reader.skip();
    return std::nullopt;
  }
  OfferExtensions ext;
  StreamMember stream, resume, secure;
  bool have_stream = false, have_resume = false, have_secure = false;
  const text::json::MembersRead read =
      text::json::read_members(reader, OFFER_EXTENSION_MEMBERS, NOTED,
                               [&](std::size_t member, Token value) {
                                 if (member == SECURE_AT) {
                                   have_secure = true;
                                   return read_stream(reader, value, secure);
                                 }
                                 if (member == RESUME_AT) {
                                   have_resume = true;
                                   return read_stream(reader, value, resume);
                                 }
                                 have_stream = true;
                                 return read_stream(reader, value, stream);
                               });
  ok = read.ok();
  if (!ok || read.repeated || !have_stream || !stream.usable) {
    return std::nullopt;
  }
  ext.stream = *stream.version;
  ext.token = stream.token;
  ext.total = stream.total;
  // Only the version that shows no digest.
  if (have_resume && resume.usable && *resume.version >= RESUME_VERSION) {
    ext.resume = RESUME_VERSION;
  }
  if (have_secure && secure.usable && *secure.version >= SECURE_VERSION) {
    ext.secure = SECURE_VERSION;
  }
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
      text::json::append_string(out, *answer.token);
      if (answer.next_files > MAX_OFFER_FILES) {
        out += ",\"next_files\":" + std::to_string(answer.next_files);
      }
    }
    out += '}';
  }
  if (answer.stream && answer.resume) {
    out += ",\"resume\":{\"version\":" + std::to_string(RESUME_VERSION) +
           ",\"files\":[";
    for (std::size_t i = 0; i < answer.resume->size(); ++i) {
      const ResumeAt& at = (*answer.resume)[i];
      if (i > 0) out += ',';
      out += '[' + std::to_string(at.index) + ",[";
      for (std::size_t end = 0; end < at.ends.size(); ++end) {
        if (end > 0) out += ',';
        out += std::to_string(at.ends[end]);
      }
      out += "]]";
    }
    out += "]}";
  }
  out += '}';
  return out;
}

Result<ExtensionAnswer> extension_answer_from_json(std::string_view body) {
  text::json::Reader reader(body);
  const Token first = reader.next();
  if (first != Token::begin_object) {
    return Error{"the extension answer is no JSON object",
                 ErrorKind::invalid_data};
  }
  StreamMember stream;
  bool have_stream = false;
  bool have_resume = false, resume_usable = false;
  std::vector<ResumeAt> resume;
  const text::json::MembersRead read = text::json::read_members(
      reader, EXTENSION_MEMBERS, NOTED, [&](std::size_t member, Token value) {
        if (member == RESUME_AT) {
          have_resume = true;
          return read_resume(reader, value, resume_usable, resume);
        }
        have_stream = true;
        return read_stream(reader, value, stream);
      });
  // Only white space may follow the object.
  if (!read.ok() ||
      body.find_first_not_of(" \t\n\r", reader.end()) != std::string::npos) {
    return Error{"the extension answer is not valid JSON",
                 ErrorKind::invalid_data};
  }
  ExtensionAnswer answer;
  // A stream we cannot use leaves the files in lockstep, which every
  // receiver of ours also takes.
  if (have_stream && !read.repeated && stream.usable &&
      *stream.version == STREAM_VERSION && stream.files && stream.bytes &&
      *stream.files > 0 && *stream.bytes > 0) {
    answer.stream = StreamWindow{*stream.files, *stream.bytes};
    answer.token = stream.token;
    // Only above the shared limit, and only with a token to bring back.
    if (answer.token && stream.next_files.value_or(0) > MAX_OFFER_FILES) {
      answer.next_files = *stream.next_files;
    }
    if (have_resume && resume_usable) answer.resume = std::move(resume);
  }
  return answer;
}

Status write_extension_answer(platform::Connection& stream,
                              const ExtensionAnswer& answer) {
  return write_frame(stream, extension_answer_to_json(answer),
                     ANSWER_ACCEPT_EXTENDED);
}

Result<std::optional<ExtensionAnswer>> read_extension_answer(
    platform::Connection& stream) {
  std::uint8_t first = 0;
  Result<std::size_t> got =
      stream.read_some({&first, 1}, platform::Expect::reply);
  if (!got.ok()) return std::move(got).error();
  if (*got == 0) return std::optional<ExtensionAnswer>();
  Result<std::string> body = read_frame(
      stream, MAX_EXTENSION_ANSWER_BYTES,
      [](std::uint32_t length) {
        return Error{"the extension answer of " + std::to_string(length) +
                         " bytes is longer than " +
                         std::to_string(MAX_EXTENSION_ANSWER_BYTES),
                     ErrorKind::invalid_data};
      },
      first);
  if (!body.ok()) return std::move(body).error();
  Result<ExtensionAnswer> answer = extension_answer_from_json(*body);
  if (!answer.ok()) return std::move(answer).error();
  return std::optional(std::move(answer).value());
}

bool extensions_turned_off() {
  const std::optional<std::string> value =
      platform::get_env(std::string(NO_EXTENSIONS_VARIABLE));
  return value && !value->empty() && *value != "0";
}

std::string new_token() {
  std::array<std::uint8_t, 16> bytes{};
  if (Status random = platform::random_bytes(bytes); !random.ok()) {
    platform::fatal("could not retrieve random bytes for a token: " +
                    random.error().message);
  }
  return text::to_hex(bytes);
}

bool is_token(std::string_view text) {
  return text.size() == 32 &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace burrowlink
