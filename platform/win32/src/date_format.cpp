// GetDateFormatEx and GetTimeFormatEx for the invariant locale, by format picture.
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "datetimeapi.h"
#include "platform/core/faults.h"

namespace {

enum class Picture { date, time };

bool is_invariant_locale(LPCWSTR name) { return name == nullptr || name[0] == 0; }

// The value a run of one picture letter stands for, and whether it is one the stand-in
// implements for that kind of picture.
std::optional<std::u16string> field_text(Picture kind, char16_t letter, std::size_t run, const SYSTEMTIME& value) {
  auto number = [](unsigned n, std::size_t digits) {
    std::u16string text;
    do {
      text.insert(text.begin(), static_cast<char16_t>(u'0' + n % 10));
      n /= 10;
    } while (n != 0);
    while (text.size() < digits) text.insert(text.begin(), u'0');
    return text;
  };
  if (kind == Picture::date) {
    switch (letter) {
      case u'd': if (run <= 2) return number(value.wDay, run); break;
      case u'M': if (run <= 2) return number(value.wMonth, run); break;
      case u'y':
        if (run == 1) return number(value.wYear % 100u, 1);
        if (run == 2) return number(value.wYear % 100u, 2);
        if (run == 4 || run == 5) return number(value.wYear, 4);
        break;
      default: break;
    }
    return std::nullopt;
  }
  switch (letter) {
    case u'H': if (run <= 2) return number(value.wHour, run); break;
    case u'h': if (run <= 2) return number(value.wHour % 12u == 0 ? 12u : value.wHour % 12u, run); break;
    case u'm': if (run <= 2) return number(value.wMinute, run); break;
    case u's': if (run <= 2) return number(value.wSecond, run); break;
    default: break;
  }
  return std::nullopt;
}

std::optional<std::u16string> render(Picture kind, LPCWSTR picture, const SYSTEMTIME& value) {
  std::u16string text;
  for (std::size_t i = 0; picture[i] != 0;) {
    const char16_t c = picture[i];
    if (c == u'\'') {
      // Quoted text, with '' standing for one quote inside or outside quotes.
      ++i;
      if (picture[i] == u'\'') {
        text += u'\'';
        ++i;
        continue;
      }
      while (picture[i] != 0) {
        if (picture[i] == u'\'' && picture[i + 1] == u'\'') {
          text += u'\'';
          i += 2;
        } else if (picture[i] == u'\'') {
          ++i;
          break;
        } else {
          text += picture[i++];
        }
      }
      continue;
    }
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    if (!letter) {
      text += c;
      ++i;
      continue;
    }
    std::size_t run = 0;
    while (picture[i + run] == c) ++run;
    auto field = field_text(kind, c, run, value);
    if (!field) return std::nullopt;
    text += *field;
    i += run;
  }
  return text;
}

bool is_valid_date(const SYSTEMTIME& value) {
  using namespace std::chrono;
  const year_month_day date{year{value.wYear}, month{value.wMonth}, day{value.wDay}};
  return date.ok() && value.wYear >= 1601 && value.wYear <= 30827;
}

bool is_valid_time(const SYSTEMTIME& value) {
  return value.wHour <= 23 && value.wMinute <= 59 && value.wSecond <= 59 && value.wMilliseconds <= 999;
}

int format(Picture kind, LPCWSTR locale, DWORD flags, const SYSTEMTIME* value, LPCWSTR picture, LPWSTR buffer,
           int capacity) {
  if (!is_invariant_locale(locale) || capacity < 0 || (capacity > 0 && buffer == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  SYSTEMTIME now{};
  if (value == nullptr) {
    GetLocalTime(&now);
    value = &now;
  }
  if (kind == Picture::date ? !is_valid_date(*value) : !is_valid_time(*value)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (picture == nullptr) picture = kind == Picture::date ? u"MM/dd/yyyy" : u"HH:mm:ss";
  const auto text = render(kind, picture, *value);
  if (!text) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(text->size() + 1);
  if (capacity == 0) return needed;
  if (capacity < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text->c_str(), sizeof(char16_t) * static_cast<std::size_t>(needed));
  return needed;
}

}  // namespace

int GetDateFormatEx(LPCWSTR lpLocaleName, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr,
                    int cchDate, LPCWSTR lpCalendar) {
  PLATFORM_FAIL_IF_ARMED("GetDateFormatEx", 0);
  if (lpCalendar != nullptr) {  // reserved
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return format(Picture::date, lpLocaleName, dwFlags, lpDate, lpFormat, lpDateStr, cchDate);
}

int GetTimeFormatEx(LPCWSTR lpLocaleName, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCWSTR lpFormat, LPWSTR lpTimeStr,
                    int cchTime) {
  PLATFORM_FAIL_IF_ARMED("GetTimeFormatEx", 0);
  return format(Picture::time, lpLocaleName, dwFlags, lpTime, lpFormat, lpTimeStr, cchTime);
}
