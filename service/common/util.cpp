#include "util.h"

#include <climits>
#include <stdexcept>

#include "windows.h"

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

}  // namespace Util
