#include "text/unicode.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace burrowlink::text {

namespace {

// Decodes the scalar at `text[pos]`, advancing `pos`; -1 for an ill-formed
// sequence (one byte is then skipped).
utf8proc_int32_t next_scalar(std::string_view text, std::size_t& pos) {
  utf8proc_int32_t c = -1;
  auto n = utf8proc_iterate(
      reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
      static_cast<utf8proc_ssize_t>(text.size() - pos), &c);
  if (n <= 0) {
    pos += 1;
    return -1;
  }
  pos += static_cast<std::size_t>(n);
  return c;
}

std::vector<utf8proc_int32_t> decode(std::string_view text) {
  std::vector<utf8proc_int32_t> scalars;
  std::size_t pos = 0;
  while (pos < text.size()) {
    utf8proc_int32_t c = next_scalar(text, pos);
    scalars.push_back(c < 0 ? 0xFFFD : c);
  }
  return scalars;
}

// The Cased property: the letter categories with case, plus the
// Other_Lowercase and Other_Uppercase code points.
bool is_cased(utf8proc_int32_t c) {
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
      return true;
    default:
      break;
  }
  static constexpr std::pair<utf8proc_int32_t, utf8proc_int32_t> OTHER[] = {
      {0xAA, 0xAA},       {0xBA, 0xBA},       {0x2B0, 0x2B8},
      {0x2C0, 0x2C1},     {0x2E0, 0x2E4},     {0x345, 0x345},
      {0x37A, 0x37A},     {0x10FC, 0x10FC},   {0x1D2C, 0x1D6A},
      {0x1D78, 0x1D78},   {0x1D9B, 0x1DBF},   {0x2071, 0x2071},
      {0x207F, 0x207F},   {0x2090, 0x209C},   {0x2160, 0x217F},
      {0x24B6, 0x24E9},   {0x2C7C, 0x2C7D},   {0xA69C, 0xA69D},
      {0xA770, 0xA770},   {0xA7F2, 0xA7F4},   {0xA7F8, 0xA7F9},
      {0xAB5C, 0xAB5F},   {0xAB69, 0xAB69},   {0x10780, 0x107BA},
      {0x1E030, 0x1E06D}, {0x1F130, 0x1F149}, {0x1F150, 0x1F169},
      {0x1F170, 0x1F189},
  };
  for (const auto& [first, last] : OTHER) {
    if (c >= first && c <= last) return true;
  }
  return false;
}

bool is_case_ignorable(utf8proc_int32_t c) {
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_SK:
      return true;
    default:
      break;
  }
  // Word_Break MidLetter, MidNumLet and Single_Quote.
  switch (c) {
    case 0x27:
    case 0x2E:
    case 0x3A:
    case 0xB7:
    case 0x387:
    case 0x55F:
    case 0x5F4:
    case 0x2018:
    case 0x2019:
    case 0x2024:
    case 0x2027:
    case 0xFE13:
    case 0xFE52:
    case 0xFE55:
    case 0xFF07:
    case 0xFF0E:
    case 0xFF1A:
      return true;
    default:
      return false;
  }
}

// Capital sigma becomes final sigma after a cased letter and before none.
bool is_final_sigma(const std::vector<utf8proc_int32_t>& s, std::size_t i) {
  std::size_t j = i;
  bool cased_before = false;
  while (j > 0) {
    --j;
    if (is_case_ignorable(s[j])) continue;
    cased_before = is_cased(s[j]);
    break;
  }
  if (!cased_before) return false;
  for (std::size_t k = i + 1; k < s.size(); ++k) {
    if (is_case_ignorable(s[k])) continue;
    return !is_cased(s[k]);
  }
  return true;
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (next_scalar(bytes, pos) < 0) return false;
  }
  return true;
}

std::size_t scalar_count(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char byte : text) {
    if ((byte & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string_view first_scalars(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t seen = 0; pos < text.size(); ++pos) {
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
      if (seen == count) break;
      ++seen;
    }
  }
  return text.substr(0, pos);
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    utf8proc_int32_t c = next_scalar(text, next);
    if (c < 0 || !is_white_space(static_cast<char32_t>(c))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    std::size_t pos = start;
    utf8proc_int32_t c = next_scalar(text, pos);
    if (c < 0 || pos != end || !is_white_space(static_cast<char32_t>(c))) {
      break;
    }
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string to_lower(std::string_view text) {
  std::vector<utf8proc_int32_t> scalars = decode(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    utf8proc_int32_t c = scalars[i];
    if (c == 0x130) {  // capital I with dot: "i" and a combining dot
      append_utf8(out, 0x69);
      append_utf8(out, 0x307);
    } else if (c == 0x3A3) {
      append_utf8(out, is_final_sigma(scalars, i) ? 0x3C2 : 0x3C3);
    } else {
      append_utf8(out, utf8proc_tolower(c));
    }
  }
  return out;
}

std::size_t bidi_control_length(std::string_view text) {
  auto at = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  if (at(0) == 0xD8 && at(1) == 0x9C) return 2;  // U+061C
  if (at(0) != 0xE2) return 0;
  unsigned second = at(1), third = at(2);
  if (second == 0x80 &&
      (third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE))) {
    return 3;  // U+200E, U+200F, U+202A-U+202E
  }
  if (second == 0x81 && third >= 0xA6 && third <= 0xA9) return 3;  // U+2066-9
  return 0;
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t start = pos;
    utf8proc_int32_t c = next_scalar(text, pos);
    char escaped[12];
    if (c >= 0 && ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F)) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<int>(c));
      out += escaped;
    } else if ((c >= 0x80 && c <= 0x9F) ||
               bidi_control_length(text.substr(start)) > 0) {
      std::snprintf(escaped, sizeof escaped, "\\u{%02x}", static_cast<int>(c));
      out += escaped;
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::size_t display_width(std::string_view text) {
  std::size_t columns = 0, pos = 0;
  while (pos < text.size()) {
    utf8proc_int32_t c = next_scalar(text, pos);
    int width = c < 0 ? 1 : utf8proc_charwidth(c);
    columns += static_cast<std::size_t>(std::max(width, 0));
  }
  return columns;
}

std::string leading_columns(std::string_view text, std::size_t columns) {
  std::size_t used = 0, pos = 0, end = 0;
  while (pos < text.size()) {
    utf8proc_int32_t c = next_scalar(text, pos);
    int width = c < 0 ? 1 : utf8proc_charwidth(c);
    used += static_cast<std::size_t>(std::max(width, 0));
    if (used > columns) break;
    end = pos;
  }
  return std::string(text.substr(0, end));
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t start = pos;
    utf8proc_int32_t c = next_scalar(bytes, pos);
    if (c < 0) {
      append_utf8(out, 0xFFFD);
    } else {
      out.append(bytes.substr(start, pos - start));
    }
  }
  return out;
}

}  // namespace burrowlink::text
