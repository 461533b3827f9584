#pragma once

// What the store's own files share: their names' endings and how they are
// made and read. For the store's .cc files only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "storage/store.h"

namespace burrowlink::store_files {

inline constexpr std::string_view DATA_ENDING = ".part";
inline constexpr std::string_view RECORD_ENDING = ".json";
inline constexpr std::string_view SEGMENTS_ENDING = ".sums";
inline constexpr std::string_view KEPT_ENDING = ".kept";

// A name for a new entry: random once per run, then counted, so that a
// file costs no call for random bytes. A name taken anyway is tried again.
std::string new_id();

// `name` ends with `ending` and has more before it.
bool ends_with(std::string_view name, std::string_view ending);

WallClock::time_point time_of(std::int64_t nanoseconds);

// A file of the store, read whole: records are ours and short, and a
// list of kept files holds a few hundred bytes a file. Nullopt when it
// cannot be opened.
inline constexpr std::size_t RECORD_BYTES = 65536;
inline constexpr std::size_t KEPT_LIST_BYTES = 64 << 20;
std::optional<std::string> read_small(const platform::Directory& folder,
                                      const std::string& name,
                                      std::size_t most = RECORD_BYTES);

}  // namespace burrowlink::store_files
