#include "platform/core/text.h"

#include <optional>
#include <type_traits>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// Decodes one UTF-8 sequence. A malformed one reports the length of its longest valid
// prefix (at least 1), so that a lenient caller replaces each broken sequence once.
Decoded decode_utf8(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length;
  char32_t code_point;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {kReplacement, i, false};
    const unsigned char next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return {kReplacement, i, false};
    code_point = (code_point << 6) | (next & 0x3F);
  }
  return {code_point, length, true};
}

void append_utf16(std::u16string& out, char32_t code_point) {
  if (code_point >= 0x10000) {
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code_point));
  }
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Length of the leading run of ASCII, which converts unit for unit.
template <typename Unit>
std::size_t ascii_prefix(const Unit* text, std::size_t size) {
  std::size_t count = 0;
  while (count < size && static_cast<std::make_unsigned_t<Unit>>(text[count]) < 0x80) ++count;
  return count;
}

std::optional<std::u16string> to_utf16(std::string_view text, bool strict) {
  const std::size_t ascii = ascii_prefix(text.data(), text.size());
  std::u16string out(ascii, u'\0');
  for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<char16_t>(text[i]);
  if (ascii == text.size()) return out;
  out.reserve(text.size());
  for (std::size_t at = ascii; at < text.size();) {
    const Decoded decoded = decode_utf8(text, at);
    if (!decoded.valid && strict) return std::nullopt;
    append_utf16(out, decoded.code_point);
    at += decoded.length;
  }
  return out;
}

std::optional<std::string> to_utf8(std::u16string_view text, bool strict) {
  const std::size_t ascii = ascii_prefix(text.data(), text.size());
  std::string out(ascii, '\0');
  for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(text[i]);
  if (ascii == text.size()) return out;
  out.reserve(text.size());
  for (std::size_t at = ascii; at < text.size(); ++at) {
    char32_t unit = text[at];
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[at + 1] - 0xDC00));
      ++at;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (strict) return std::nullopt;
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

}  // namespace

namespace platform {

std::optional<std::u16string> utf8_to_utf16_strict(std::string_view text) { return to_utf16(text, true); }
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) { return to_utf8(text, true); }
std::u16string utf8_to_utf16(std::string_view text) { return *to_utf16(text, false); }
std::string utf16_to_utf8(std::u16string_view text) { return *to_utf8(text, false); }

char16_t fold_case(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  // Latin-1 upper-case letters, skipping the multiplication sign U+00D7.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

}  // namespace platform

namespace platform {

std::u16string fold_name(std::u16string_view name) {
  std::u16string out(name);
  for (auto& c : out) c = fold_case(c);
  return out;
}

std::string fold_name(std::string_view name) { return utf16_to_utf8(fold_name(utf8_to_utf16(name))); }

bool same_name(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_case(a[i]) != fold_case(b[i])) return false;
  }
  return true;
}

bool same_name(std::string_view a, std::string_view b) { return same_name(utf8_to_utf16(a), utf8_to_utf16(b)); }

}  // namespace platform
