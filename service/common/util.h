// Text conversion between the platform's UTF-16 and the UTF-8 of log and wire texts, and the
// check that a text from the network can name a file in a folder.
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

// True when `name` names a plain file inside whatever folder it is put in, by Windows' file
// naming rules: not empty; no path separator ("\\" or "/"), drive or stream colon, other
// reserved character (< > " | ? *) or control character (below 0x20); no trailing dot or
// blank, which Windows strips (so "." and ".." are refused too); and not a device name (CON,
// PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, with the superscript digits 1 to 3 too), in any
// case and with or without an extension ("nul.txt" and "COM1.xml" open the device). Callers
// check the bare name before they add their own extension.
bool IsPlainFileName(const WString& name);

}  // namespace Util
