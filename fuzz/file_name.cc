// The names that received files get: the cleaned offered name, and the
// numbered and shortened candidates tried in the receive folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"
#include "platform/files.h"
#include "storage/names.h"
#include "text/unicode.h"

namespace {

using namespace burrowlink;

// What every stored name is, however it was offered: one non-empty part,
// nothing a system or terminal treats specially, no trailing dot.
void check_clean(std::string_view name) {
  FUZZ_CHECK(!name.empty() && name != "." && name != "..");
  FUZZ_CHECK(name.back() != '.');
  for (std::size_t i = 0; i < name.size(); ++i) {
    FUZZ_CHECK(std::string_view("/\\<>:\"|?*").find(name[i]) ==
               std::string_view::npos);
    FUZZ_CHECK(fuzz::raw_control_length(name.substr(i)) == 0);
  }
}

void check_no_leading_space(std::string_view valid_name) {
  FUZZ_CHECK(!text::is_white_space(fuzz::decode(valid_name).front()));
}

void check_no_trailing_space(std::string_view valid_name) {
  FUZZ_CHECK(!text::is_white_space(fuzz::decode(valid_name).back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view offered(reinterpret_cast<const char*>(data), size);
  const bool valid = text::is_valid_utf8(offered);

  const std::string once = safe_file_name(offered, false);
  const std::string stable = safe_file_name(offered, true);
  check_clean(once);
  check_clean(stable);
  // Trimming until stable is trimming once, then until stable.
  FUZZ_CHECK(safe_file_name(once, true) == stable);
  FUZZ_CHECK(safe_file_name(stable, true) == stable);
  // Text the offer reader passes on (valid UTF-8) stays valid; the single
  // pass may leave white space that a dot hid ("a ." gives "a ").
  if (!valid) return 0;
  FUZZ_CHECK(text::is_valid_utf8(once) && text::is_valid_utf8(stable));
  check_no_leading_space(once);
  check_no_leading_space(stable);
  check_no_trailing_space(stable);

  // Limits of real file systems and a small one; below 45 units a number's
  // suffix alone may not fit.
  for (std::size_t limit : {64, 143, 255}) {
    for (std::uint64_t n :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{UINT64_MAX}}) {
      for (const std::string& safe : {once, stable}) {
        const std::string name = candidate_name(safe, n, limit);
        FUZZ_CHECK(platform::name_units(name) <= limit);
        FUZZ_CHECK(text::is_valid_utf8(name));
        if (n == 0 && platform::name_units(safe) <= limit) {
          FUZZ_CHECK(name == safe);
        }
        check_clean(name);
        check_no_leading_space(name);
      }
    }
  }
  return 0;
}
