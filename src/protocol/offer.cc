#include "protocol/offer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "protocol/extensions.h"
#include "protocol/frame.h"
#include "protocol/wire.h"
#include "text/json.h"

namespace burrowlink {
namespace {

void append_optional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    text::json::append_string(out, *text);
  } else {
    out += "null";
  }
}

}  // namespace

// Written by hand: an offer of a thousand files is built in a fraction of
// the time a document tree takes.
std::string offer_to_json(const Offer& offer) {
  // Sized once: long offers are large, and growing would briefly hold the
  // old buffer beside the new.
  std::size_t size = 128;
  for (const FileInfo& file : offer.files) {
    size += 96 + file.name.size() + (file.folder ? file.folder->size() : 0);
  }
  std::string out;
  out.reserve(size);
  out += "{\"from\":";
  text::json::append_string(out, offer.from);
  out += ",\"fromId\":";
  append_optional(out, offer.from_id);
  out += ",\"files\":[";
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"name\":";
    text::json::append_string(out, offer.files[i].name);
    out += ",\"size\":";
    out += std::to_string(offer.files[i].size);
    if (offer.files[i].folder) {
      out += ",\"folder\":";
      text::json::append_string(out, *offer.files[i].folder);
    }
    if (offer.files[i].modified) {
      out += ",\"modified\":";
      out += std::to_string(*offer.files[i].modified);
    }
    out += '}';
  }
  out += "],\"text\":";
  append_optional(out, offer.text);
  if (offer.extensions) {
    out += ",\"extensions\":";
    append_offer_extensions(out, *offer.extensions);
  }
  out += '}';
  return out;
}

Status write_offer(platform::Connection& stream, const Offer& offer) {
  return write_frame(stream, offer_to_json(offer));
}

Result<Offer> read_offer(platform::Connection& stream,
                         std::optional<std::uint8_t> first) {
  Result<std::string> body = read_frame(
      stream, MAX_OFFER_BYTES,
      [](std::uint32_t) {
        return Error{std::string(MESSAGE_TOO_LARGE_TEXT),
                     ErrorKind::invalid_data};
      },
      first);
  if (!body.ok()) return std::move(body).error();
  return offer_from_json(*body);
}

}  // namespace burrowlink
