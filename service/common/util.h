// Text conversion between the platform's UTF-16 and the UTF-8 of log and wire texts.
#pragma once

#include <string>

#include "windef.h"

// The one wide string of the service: WCHAR text, as the Windows API takes it.
using WString = std::basic_string<WCHAR>;

namespace Util {

// Both throw std::range_error("bad conversion") for input that is not valid UTF-16 or
// UTF-8 (a lone surrogate, a truncated sequence, an overlong form).
std::string to_string(const WString& text);
WString to_wstring(const std::string& text);

}  // namespace Util
