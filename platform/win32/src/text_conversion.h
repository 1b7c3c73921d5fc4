// UTF-8 <-> UTF-16 conversion shared by the stand-in's families (paths, environment values,
// registry texts). Internal to the platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Strict forms: nullopt on malformed input (bad UTF-8, overlong forms, encoded surrogates,
// code points above U+10FFFF, lone surrogates in UTF-16).
std::optional<std::u16string> utf8_to_utf16_strict(std::string_view text);
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);

// Lenient forms: each malformed sequence becomes U+FFFD, as Windows converts without the
// ERR_INVALID_CHARS flags.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Case folding of ASCII and Latin-1 letters to lower case.
char16_t fold_case(char16_t c);

}  // namespace platform
