#include "util.h"

#include <climits>
#include <stdexcept>

#include "windows.h"

namespace {

// Characters that no file name may hold: the path separators, the drive and stream colon,
// the wildcard and redirection characters, and the control characters.
bool IsReservedCharacter(WCHAR c) {
  if (c < 0x20) return true;
  switch (c) {
    case TEXT('\\'):
    case TEXT('/'):
    case TEXT(':'):
    case TEXT('<'):
    case TEXT('>'):
    case TEXT('"'):
    case TEXT('|'):
    case TEXT('?'):
    case TEXT('*'):
      return true;
    default:
      return false;
  }
}

WCHAR AsciiUpper(WCHAR c) {
  return (c >= TEXT('a') && c <= TEXT('z')) ? static_cast<WCHAR>(c - TEXT('a') + TEXT('A')) : c;
}

// Windows opens a device for a name whose part before the first dot, blanks at its end left
// out, is a device name: "NUL", "nul.txt" and "Com1 .log" all name one.
bool IsDeviceName(const WString& name) {
  std::size_t end = name.find(TEXT('.'));
  if (end == WString::npos) end = name.size();
  while (end > 0 && name[end - 1] == TEXT(' ')) --end;
  WString base;
  for (std::size_t i = 0; i < end; ++i) base.push_back(AsciiUpper(name[i]));
  if (base == TEXT("CON") || base == TEXT("PRN") || base == TEXT("AUX") || base == TEXT("NUL")) return true;
  if (base.size() != 4 || (base.compare(0, 3, TEXT("COM")) != 0 && base.compare(0, 3, TEXT("LPT")) != 0)) {
    return false;
  }
  const WCHAR digit = base[3];
  // The superscript one, two and three name the same ports as the digits.
  return (digit >= TEXT('1') && digit <= TEXT('9')) || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

}  // namespace

namespace Util {

std::string to_string(const WString& text) {
  if (text.empty()) {
    return std::string();
  }
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    throw std::range_error("bad conversion");
  }
  const int sourceLength = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), sourceLength,
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    throw std::range_error("bad conversion");
  }
  std::string result(static_cast<size_t>(needed), '\0');
  const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), sourceLength,
                                          result.data(), needed, nullptr, nullptr);
  if (written <= 0) {
    throw std::range_error("bad conversion");
  }
  result.resize(static_cast<size_t>(written));
  return result;
}

WString to_wstring(const std::string& text) {
  if (text.empty()) {
    return WString();
  }
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    throw std::range_error("bad conversion");
  }
  const int sourceLength = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), sourceLength, nullptr, 0);
  if (needed <= 0) {
    throw std::range_error("bad conversion");
  }
  WString result(static_cast<size_t>(needed), TEXT('\0'));
  const int written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), sourceLength,
                                          result.data(), needed);
  if (written <= 0) {
    throw std::range_error("bad conversion");
  }
  result.resize(static_cast<size_t>(written));
  return result;
}

bool IsPlainFileName(const WString& name) {
  if (name.empty()) return false;
  for (WCHAR c : name) {
    if (IsReservedCharacter(c)) return false;
  }
  // Windows strips trailing dots and blanks, so such a name would open another file than the
  // one it spells (and "." and ".." name folders).
  if (name.back() == TEXT('.') || name.back() == TEXT(' ')) return false;
  return !IsDeviceName(name);
}

}  // namespace Util
