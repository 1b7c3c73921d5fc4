// Text conversion between the platform's UTF-16 and the UTF-8 of log and wire texts.
#pragma once

#include <string>

namespace Util {

// Both throw std::range_error("bad conversion") for input that is not valid UTF-16 or
// UTF-8 (a lone surrogate, a truncated sequence, an overlong form).
std::string to_string(const std::u16string& text);
std::u16string to_wstring(const std::string& text);

}  // namespace Util
