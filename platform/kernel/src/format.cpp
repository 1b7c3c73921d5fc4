#include "format.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ntdef.h"
#include "platform/core/text.h"

namespace platform::kernel {
namespace {

enum class Size { normal, char_, short_, long_, long_long, pointer, long_double };
enum class Width { narrow, wide, function };  // a text argument's width; `function`: the function's own

struct FieldFormat {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  int width = 0;
  int precision = -1;
  Size size = Size::normal;
  Width text = Width::function;
};

// Pads `body` (already with its sign and prefix) to the field's width.
std::string pad(std::string prefix, std::string digits, const FieldFormat& field, bool zero_padding_allowed) {
  const std::size_t length = prefix.size() + digits.size();
  if (field.width <= 0 || length >= static_cast<std::size_t>(field.width)) return prefix + digits;
  const std::size_t fill = static_cast<std::size_t>(field.width) - length;
  if (field.left) return prefix + digits + std::string(fill, ' ');
  if (field.zero && zero_padding_allowed) return prefix + std::string(fill, '0') + digits;
  return std::string(fill, ' ') + prefix + digits;
}

std::string format_integer(std::uint64_t magnitude, bool negative, bool is_signed, char conversion, const FieldFormat& field) {
  const int base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X') ? 16 : 10;
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, base);
  (void)error;
  std::string digits(buffer, end);
  if (conversion == 'X') {
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  }
  if (field.precision >= 0) {
    if (field.precision == 0 && magnitude == 0) digits.clear();
    if (digits.size() < static_cast<std::size_t>(field.precision)) {
      digits.insert(0, static_cast<std::size_t>(field.precision) - digits.size(), '0');
    }
  }
  std::string prefix;
  if (is_signed) {
    if (negative) prefix = "-";
    else if (field.plus) prefix = "+";
    else if (field.space) prefix = " ";
  }
  if (field.alternate && magnitude != 0) {
    if (conversion == 'x') prefix += "0x";
    if (conversion == 'X') prefix += "0X";
    if (conversion == 'o' && (digits.empty() || digits[0] != '0')) digits.insert(0, 1, '0');
  }
  return pad(prefix, digits, field, field.precision < 0);
}

std::string format_floating(long double value, char conversion, const FieldFormat& field) {
  const bool upper = conversion >= 'A' && conversion <= 'Z';
  std::chars_format format = std::chars_format::general;
  switch (conversion | 0x20) {
    case 'e': format = std::chars_format::scientific; break;
    case 'f': format = std::chars_format::fixed; break;
    case 'a': format = std::chars_format::hex; break;
    default: break;
  }
  const bool negative = value < 0;
  const double magnitude = static_cast<double>(negative ? -value : value);
  char buffer[512];
  const int precision = field.precision >= 0 ? field.precision : 6;
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, format, precision);
  std::string digits = error == std::errc() ? std::string(buffer, end) : std::string("inf");
  if (upper) {
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  std::string prefix = negative ? "-" : field.plus ? "+" : field.space ? " " : "";
  return pad(prefix, digits, field, true);
}

// Cuts to the precision and pads to the width, in the output's own code units.
template <typename Char>
std::basic_string<Char> fit_text(std::basic_string<Char> text, const FieldFormat& field) {
  if (field.precision >= 0 && text.size() > static_cast<std::size_t>(field.precision)) {
    text.resize(static_cast<std::size_t>(field.precision));
  }
  if (field.width > 0 && text.size() < static_cast<std::size_t>(field.width)) {
    const std::size_t fill = static_cast<std::size_t>(field.width) - text.size();
    if (field.left) text.append(fill, Char(' '));
    else text.insert(0, fill, Char(' '));
  }
  return text;
}

std::u16string widen(std::string_view narrow) { return platform::utf8_to_utf16(narrow); }

template <typename Char>
std::basic_string<Char> from_narrow(std::string_view text) {
  if constexpr (sizeof(Char) == 1) {
    return std::basic_string<Char>(text);
  } else {
    return widen(text);
  }
}

template <typename Char>
std::basic_string<Char> from_wide(std::u16string_view text) {
  if constexpr (sizeof(Char) == 1) {
    return platform::utf16_to_utf8(text);
  } else {
    return std::basic_string<Char>(text);
  }
}

template <typename Char>
std::basic_string<Char> ascii(const std::string& text) {
  return std::basic_string<Char>(text.begin(), text.end());
}

std::size_t wide_length(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

template <typename Char>
std::basic_string<Char> format(const Char* format, va_list arguments) {
  constexpr bool wide_function = sizeof(Char) == 2;
  std::basic_string<Char> out;
  const Char* p = format;
  while (*p != 0) {
    if (*p != Char('%')) {
      out.push_back(*p++);
      continue;
    }
    const Char* const start = p++;
    if (*p == Char('%')) {
      out.push_back(*p++);
      continue;
    }
    FieldFormat field;
    for (;; ++p) {
      if (*p == Char('-')) field.left = true;
      else if (*p == Char('+')) field.plus = true;
      else if (*p == Char(' ')) field.space = true;
      else if (*p == Char('#')) field.alternate = true;
      else if (*p == Char('0')) field.zero = true;
      else break;
    }
    if (*p == Char('*')) {
      field.width = va_arg(arguments, int);
      if (field.width < 0) {
        field.left = true;
        field.width = -field.width;
      }
      ++p;
    } else {
      while (*p >= Char('0') && *p <= Char('9')) field.width = field.width * 10 + static_cast<int>(*p++ - Char('0'));
    }
    if (*p == Char('.')) {
      ++p;
      field.precision = 0;
      if (*p == Char('*')) {
        field.precision = va_arg(arguments, int);
        ++p;
      } else {
        while (*p >= Char('0') && *p <= Char('9')) {
          field.precision = field.precision * 10 + static_cast<int>(*p++ - Char('0'));
        }
      }
    }
    // Length modifiers, Windows' included (I, I32, I64, w).
    if (*p == Char('h')) {
      ++p;
      field.text = Width::narrow;
      field.size = Size::short_;
      if (*p == Char('h')) {
        ++p;
        field.size = Size::char_;
      }
    } else if (*p == Char('l')) {
      ++p;
      field.text = Width::wide;
      field.size = Size::long_;
      if (*p == Char('l')) {
        ++p;
        field.size = Size::long_long;
      }
    } else if (*p == Char('w')) {
      ++p;
      field.text = Width::wide;
    } else if (*p == Char('L')) {
      ++p;
      field.size = Size::long_double;
    } else if (*p == Char('z') || *p == Char('j') || *p == Char('t')) {
      ++p;
      field.size = Size::pointer;
    } else if (*p == Char('I')) {
      ++p;
      if (p[0] == Char('6') && p[1] == Char('4')) {
        p += 2;
        field.size = Size::long_long;
      } else if (p[0] == Char('3') && p[1] == Char('2')) {
        p += 2;
        field.size = Size::long_;
      } else {
        field.size = Size::pointer;
      }
    }
    const Char conversion = *p;
    if (conversion == 0) {
      out.append(start, p);
      break;
    }
    ++p;
    switch (conversion) {
      case Char('d'):
      case Char('i'): {
        std::int64_t value = 0;
        switch (field.size) {
          case Size::char_: value = static_cast<signed char>(va_arg(arguments, int)); break;
          case Size::short_: value = static_cast<short>(va_arg(arguments, int)); break;
          case Size::long_long:
          case Size::pointer: value = va_arg(arguments, long long); break;
          default: value = va_arg(arguments, int); break;
        }
        const std::uint64_t magnitude =
            value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
        out += ascii<Char>(format_integer(magnitude, value < 0, true, 'd', field));
        break;
      }
      case Char('u'):
      case Char('x'):
      case Char('X'):
      case Char('o'): {
        std::uint64_t value = 0;
        switch (field.size) {
          case Size::char_: value = static_cast<unsigned char>(va_arg(arguments, unsigned)); break;
          case Size::short_: value = static_cast<unsigned short>(va_arg(arguments, unsigned)); break;
          case Size::long_long:
          case Size::pointer: value = va_arg(arguments, unsigned long long); break;
          default: value = va_arg(arguments, unsigned); break;
        }
        out += ascii<Char>(format_integer(value, false, false, static_cast<char>(conversion), field));
        break;
      }
      case Char('p'): {
        FieldFormat pointer;
        pointer.zero = true;
        pointer.width = 16;
        out += ascii<Char>(format_integer(reinterpret_cast<std::uintptr_t>(va_arg(arguments, void*)), false, false,
                                          'X', pointer));
        break;
      }
      case Char('c'):
      case Char('C'): {
        const int value = va_arg(arguments, int);
        bool wide = wide_function;
        if (conversion == Char('C')) wide = !wide_function;
        if (field.text == Width::narrow) wide = false;
        if (field.text == Width::wide) wide = true;
        if (wide) {
          const char16_t unit = static_cast<char16_t>(value);
          out += fit_text(from_wide<Char>(std::u16string_view(&unit, 1)), field);
        } else {
          const char unit = static_cast<char>(value);
          out += fit_text(from_narrow<Char>(std::string_view(&unit, 1)), field);
        }
        break;
      }
      case Char('s'):
      case Char('S'): {
        bool wide = wide_function;
        if (conversion == Char('S')) wide = !wide_function;
        if (field.text == Width::narrow) wide = false;
        if (field.text == Width::wide) wide = true;
        if (wide) {
          const auto* text = va_arg(arguments, const char16_t*);
          out += fit_text(text == nullptr ? ascii<Char>("(null)")
                                          : from_wide<Char>(std::u16string_view(text, wide_length(text))),
                          field);
        } else {
          const auto* text = va_arg(arguments, const char*);
          out += fit_text(text == nullptr ? ascii<Char>("(null)") : from_narrow<Char>(text), field);
        }
        break;
      }
      case Char('Z'): {
        if (field.text == Width::wide) {
          const auto* text = va_arg(arguments, const UNICODE_STRING*);
          out += fit_text(text == nullptr || text->Buffer == nullptr
                              ? ascii<Char>("(null)")
                              : from_wide<Char>(std::u16string_view(text->Buffer, text->Length / sizeof(WCHAR))),
                          field);
        } else {
          const auto* text = va_arg(arguments, const STRING*);
          out += fit_text(text == nullptr || text->Buffer == nullptr
                              ? ascii<Char>("(null)")
                              : from_narrow<Char>(std::string_view(text->Buffer, text->Length)),
                          field);
        }
        break;
      }
      case Char('e'):
      case Char('E'):
      case Char('f'):
      case Char('F'):
      case Char('g'):
      case Char('G'):
      case Char('a'):
      case Char('A'): {
        const long double value =
            field.size == Size::long_double ? va_arg(arguments, long double) : va_arg(arguments, double);
        out += ascii<Char>(format_floating(value, static_cast<char>(conversion), field));
        break;
      }
      case Char('n'):
        // Writing through an argument is a classic format-string hole; Windows refuses it too.
        (void)va_arg(arguments, void*);
        break;
      default:
        out.append(start, p);
        break;
    }
  }
  return out;
}

}  // namespace

std::string format_narrow(const char* format_text, va_list arguments) { return format(format_text, arguments); }

std::u16string format_wide(const char16_t* format_text, va_list arguments) { return format(format_text, arguments); }

}  // namespace platform::kernel
