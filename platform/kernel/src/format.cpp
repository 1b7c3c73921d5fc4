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

struct Spec {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  int width = 0;
  int precision = -1;
  Size size = Size::normal;
  Width text = Width::function;
};

// Pads `body` (already with its sign and prefix) to the spec's width.
std::string pad(std::string prefix, std::string digits, const Spec& spec, bool zero_padding_allowed) {
  const std::size_t length = prefix.size() + digits.size();
  if (spec.width <= 0 || length >= static_cast<std::size_t>(spec.width)) return prefix + digits;
  const std::size_t fill = static_cast<std::size_t>(spec.width) - length;
  if (spec.left) return prefix + digits + std::string(fill, ' ');
  if (spec.zero && zero_padding_allowed) return prefix + std::string(fill, '0') + digits;
  return std::string(fill, ' ') + prefix + digits;
}

std::string format_integer(std::uint64_t magnitude, bool negative, bool is_signed, char conversion, const Spec& spec) {
  const int base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X') ? 16 : 10;
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, base);
  (void)error;
  std::string digits(buffer, end);
  if (conversion == 'X') {
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  }
  if (spec.precision >= 0) {
    if (spec.precision == 0 && magnitude == 0) digits.clear();
    if (digits.size() < static_cast<std::size_t>(spec.precision)) {
      digits.insert(0, static_cast<std::size_t>(spec.precision) - digits.size(), '0');
    }
  }
  std::string prefix;
  if (is_signed) {
    if (negative) prefix = "-";
    else if (spec.plus) prefix = "+";
    else if (spec.space) prefix = " ";
  }
  if (spec.alternate && magnitude != 0) {
    if (conversion == 'x') prefix += "0x";
    if (conversion == 'X') prefix += "0X";
    if (conversion == 'o' && (digits.empty() || digits[0] != '0')) digits.insert(0, 1, '0');
  }
  return pad(prefix, digits, spec, spec.precision < 0);
}

std::string format_floating(long double value, char conversion, const Spec& spec) {
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
  const int precision = spec.precision >= 0 ? spec.precision : 6;
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, format, precision);
  std::string digits = error == std::errc() ? std::string(buffer, end) : std::string("inf");
  if (upper) {
    for (char& c : digits) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  std::string prefix = negative ? "-" : spec.plus ? "+" : spec.space ? " " : "";
  return pad(prefix, digits, spec, true);
}

// Cuts to the precision and pads to the width, in the output's own code units.
template <typename Char>
std::basic_string<Char> fit_text(std::basic_string<Char> text, const Spec& spec) {
  if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision)) {
    text.resize(static_cast<std::size_t>(spec.precision));
  }
  if (spec.width > 0 && text.size() < static_cast<std::size_t>(spec.width)) {
    const std::size_t fill = static_cast<std::size_t>(spec.width) - text.size();
    if (spec.left) text.append(fill, Char(' '));
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
    Spec spec;
    for (;; ++p) {
      if (*p == Char('-')) spec.left = true;
      else if (*p == Char('+')) spec.plus = true;
      else if (*p == Char(' ')) spec.space = true;
      else if (*p == Char('#')) spec.alternate = true;
      else if (*p == Char('0')) spec.zero = true;
      else break;
    }
    if (*p == Char('*')) {
      spec.width = va_arg(arguments, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
      ++p;
    } else {
      while (*p >= Char('0') && *p <= Char('9')) spec.width = spec.width * 10 + static_cast<int>(*p++ - Char('0'));
    }
    if (*p == Char('.')) {
      ++p;
      spec.precision = 0;
      if (*p == Char('*')) {
        spec.precision = va_arg(arguments, int);
        ++p;
      } else {
        while (*p >= Char('0') && *p <= Char('9')) {
          spec.precision = spec.precision * 10 + static_cast<int>(*p++ - Char('0'));
        }
      }
    }
    // Length modifiers, Windows' included (I, I32, I64, w).
    if (*p == Char('h')) {
      ++p;
      spec.text = Width::narrow;
      spec.size = Size::short_;
      if (*p == Char('h')) {
        ++p;
        spec.size = Size::char_;
      }
    } else if (*p == Char('l')) {
      ++p;
      spec.text = Width::wide;
      spec.size = Size::long_;
      if (*p == Char('l')) {
        ++p;
        spec.size = Size::long_long;
      }
    } else if (*p == Char('w')) {
      ++p;
      spec.text = Width::wide;
    } else if (*p == Char('L')) {
      ++p;
      spec.size = Size::long_double;
    } else if (*p == Char('z') || *p == Char('j') || *p == Char('t')) {
      ++p;
      spec.size = Size::pointer;
    } else if (*p == Char('I')) {
      ++p;
      if (p[0] == Char('6') && p[1] == Char('4')) {
        p += 2;
        spec.size = Size::long_long;
      } else if (p[0] == Char('3') && p[1] == Char('2')) {
        p += 2;
        spec.size = Size::long_;
      } else {
        spec.size = Size::pointer;
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
        switch (spec.size) {
          case Size::char_: value = static_cast<signed char>(va_arg(arguments, int)); break;
          case Size::short_: value = static_cast<short>(va_arg(arguments, int)); break;
          case Size::long_long:
          case Size::pointer: value = va_arg(arguments, long long); break;
          default: value = va_arg(arguments, int); break;
        }
        const std::uint64_t magnitude =
            value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
        out += ascii<Char>(format_integer(magnitude, value < 0, true, 'd', spec));
        break;
      }
      case Char('u'):
      case Char('x'):
      case Char('X'):
      case Char('o'): {
        std::uint64_t value = 0;
        switch (spec.size) {
          case Size::char_: value = static_cast<unsigned char>(va_arg(arguments, unsigned)); break;
          case Size::short_: value = static_cast<unsigned short>(va_arg(arguments, unsigned)); break;
          case Size::long_long:
          case Size::pointer: value = va_arg(arguments, unsigned long long); break;
          default: value = va_arg(arguments, unsigned); break;
        }
        out += ascii<Char>(format_integer(value, false, false, static_cast<char>(conversion), spec));
        break;
      }
      case Char('p'): {
        Spec pointer;
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
        if (spec.text == Width::narrow) wide = false;
        if (spec.text == Width::wide) wide = true;
        if (wide) {
          const char16_t unit = static_cast<char16_t>(value);
          out += fit_text(from_wide<Char>(std::u16string_view(&unit, 1)), spec);
        } else {
          const char unit = static_cast<char>(value);
          out += fit_text(from_narrow<Char>(std::string_view(&unit, 1)), spec);
        }
        break;
      }
      case Char('s'):
      case Char('S'): {
        bool wide = wide_function;
        if (conversion == Char('S')) wide = !wide_function;
        if (spec.text == Width::narrow) wide = false;
        if (spec.text == Width::wide) wide = true;
        if (wide) {
          const auto* text = va_arg(arguments, const char16_t*);
          out += fit_text(text == nullptr ? ascii<Char>("(null)")
                                          : from_wide<Char>(std::u16string_view(text, wide_length(text))),
                          spec);
        } else {
          const auto* text = va_arg(arguments, const char*);
          out += fit_text(text == nullptr ? ascii<Char>("(null)") : from_narrow<Char>(text), spec);
        }
        break;
      }
      case Char('Z'): {
        if (spec.text == Width::wide) {
          const auto* text = va_arg(arguments, const UNICODE_STRING*);
          out += fit_text(text == nullptr || text->Buffer == nullptr
                              ? ascii<Char>("(null)")
                              : from_wide<Char>(std::u16string_view(text->Buffer, text->Length / sizeof(WCHAR))),
                          spec);
        } else {
          const auto* text = va_arg(arguments, const STRING*);
          out += fit_text(text == nullptr || text->Buffer == nullptr
                              ? ascii<Char>("(null)")
                              : from_narrow<Char>(std::string_view(text->Buffer, text->Length)),
                          spec);
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
            spec.size == Size::long_double ? va_arg(arguments, long double) : va_arg(arguments, double);
        out += ascii<Char>(format_floating(value, static_cast<char>(conversion), spec));
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
