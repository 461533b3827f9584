#pragma once

// What two devices of ours agree on beyond the shared protocol: the
// offer's "extensions" member, which other readers skip, and the answer
// that takes it up. doc/protocol-extensions.md describes both byte by byte.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/network.h"
#include "platform/sha256.h"
#include "text/json.h"

namespace burrowlink {

// The answer byte of a receiver that takes up the offer's extensions; a
// frame follows it. Sent only to an offer that asked for it: any answer
// but 0x01 is a decline to a sender that knows nothing of extensions. A
// lone UTF-8 continuation byte, far from the bytes that other receivers
// write (0x02 is a decline, decided after that one byte).
inline constexpr std::uint8_t ANSWER_ACCEPT_EXTENDED = 0xA5;
// The extension answer's frame: a 4-byte big-endian length, then as many
// bytes of JSON, at most this many: room for a resume entry for each file
// of the longest part.
inline constexpr std::uint32_t MAX_EXTENSION_ANSWER_BYTES = 1'048'576;

// The stream extension: files back to back, verdicts read as they come.
inline constexpr std::uint64_t STREAM_VERSION = 1;
// The resume extension: a file goes on where an earlier transfer of it
// stopped. Only together with the stream extension. Version 2: the sender
// proves its prefix; the receiver shows no digest.
inline constexpr std::uint64_t RESUME_VERSION = 2;
// The secure channel's, as an offer that asks for it names it.
inline constexpr std::uint64_t SECURE_VERSION = 1;

// How far a sender may run ahead of the verdicts: files and bytes sent
// without one. A file bigger than `bytes` goes alone.
struct StreamWindow {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  bool operator==(const StreamWindow&) const = default;
};
// Ours, on either side: enough for a 1 Gbit/s link with 10 ms round trips
// (1.2 MB in flight), bounded so that a failure wastes little.
inline constexpr StreamWindow STREAM_WINDOW{1024, 64 * 1024 * 1024};

// The most files ours takes in an offer that brings its token back: the
// parts of a long send after the first need not stop at 1,000 files, each
// costing a connection and its round trips. The offer's frame bound still
// holds. More would cost each side about 200 bytes a file of memory for
// little: 10,000 files go in 4 parts instead of 10.
inline constexpr std::uint64_t NEXT_PART_FILES = 3'000;
// A resume entry is at most [99999,[four offsets of 20 digits]], and a
// comma: 96 bytes.
static_assert(NEXT_PART_FILES * 96 + 4096 <= MAX_EXTENSION_ANSWER_BYTES);

// The files and bytes of a whole send that goes in several offers.
struct SendTotal {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  bool operator==(const SendTotal&) const = default;
};

// What a sender's offer asks for.
struct OfferExtensions {
  std::uint64_t stream = 0;  // the highest version spoken; 0 for none
  // Continues a send whose previous part this receiver accepted.
  std::optional<std::string> token = std::nullopt;
  std::uint64_t resume = 0;  // the highest version spoken; 0 for none
  // In the first offer of a send in parts: what the whole send holds, so
  // that the question names what the user agrees to.
  std::optional<SendTotal> total = std::nullopt;
  // Asks whether the receiver takes the secure channel: an offer that
  // lists no file and carries no note, which others close unanswered.
  std::uint64_t secure = 0;  // the highest version spoken; 0 for none
  bool operator==(const OfferExtensions&) const = default;
};

// Where the receiver offers to go on with file `index` of the offer: after
// its first `ends.back()` bytes, which it holds in stretches ending at
// `ends`, each proven by the sender's digest of it. An offset of the whole
// size says the file may be there already.
struct ResumeAt {
  std::uint64_t index = 0;
  std::vector<std::uint64_t> ends;
  std::uint64_t offset() const { return ends.empty() ? 0 : ends.back(); }
  bool operator==(const ResumeAt&) const = default;
};
// The most stretches an entry may name.
inline constexpr std::size_t MAX_RESUME_STRETCHES = 4;

// A sender's word in a resumed file's proof: how much of its prefix it has
// hashed, at least this often, so that the receiver never waits long on
// one read; then the prefix's length, and one digest per stretch.
inline constexpr std::chrono::milliseconds PROOF_WORD_EVERY{1000};
// The receiver's reply to a proof: go on after the prefix, or send the
// file from its first byte.
inline constexpr std::uint8_t PROOF_SAME = 0x01;
inline constexpr std::uint8_t PROOF_DIFFERS = 0x00;

// What a receiver's extension answer grants.
struct ExtensionAnswer {
  std::optional<StreamWindow> stream = std::nullopt;
  // Lets the next part of the same send in without a question.
  std::optional<std::string> token = std::nullopt;
  // The most files that part may list, when above the shared 1,000.
  std::uint64_t next_files = 0;
  // The resume extension taken up, with the files it can go on with.
  std::optional<std::vector<ResumeAt>> resume = std::nullopt;
  bool operator==(const ExtensionAnswer&) const = default;
};

// Appends the offer member's value.
void append_offer_extensions(std::string& out, const OfferExtensions& ext);
// Reads the member's value, whose first token `first` the reader has just
// given. Returns nullopt for a value we cannot use (a wrong type, an
// unknown version): that is no extension, never an error. False in `ok`
// only for a syntax error, which the reader holds.
std::optional<OfferExtensions> read_offer_extensions(text::json::Reader& reader,
                                                     text::json::Token first,
                                                     bool& ok);

// The answer's JSON body and its reader. A body we cannot use fails with a
// text that says why.
std::string extension_answer_to_json(const ExtensionAnswer& answer);
Result<ExtensionAnswer> extension_answer_from_json(std::string_view body);

// Writes ANSWER_ACCEPT_EXTENDED and the frame (write_frame).
Status write_extension_answer(platform::Connection& stream,
                              const ExtensionAnswer& answer);
// Reads the frame that follows ANSWER_ACCEPT_EXTENDED; nullopt when the
// stream ends before its first byte, as a receiver that meant a decline
// and closed leaves it.
Result<std::optional<ExtensionAnswer>> read_extension_answer(
    platform::Connection& stream);

// BURROWLINK_NO_EXTENSIONS set to anything but "" or "0": `send` offers
// and `receive` answers exactly as the shared protocol has it, for a peer
// that stumbles over what ours add.
inline constexpr std::string_view NO_EXTENSIONS_VARIABLE =
    "BURROWLINK_NO_EXTENSIONS";
bool extensions_turned_off();

// A new token: 32 lowercase hexadecimal digits from the random source.
std::string new_token();
bool is_token(std::string_view text);

}  // namespace burrowlink
