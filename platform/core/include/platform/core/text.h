// Text shared by every stand-in: UTF-8 <-> UTF-16 conversion and the one case-insensitive
// name fold (file names, module names, registry keys, service names, environment names and
// device paths all compare through it, as Windows compares them).
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

// Case folding of ASCII and Latin-1 letters to lower case; other characters are kept.
char16_t fold_case(char16_t c);
std::u16string fold_name(std::u16string_view name);
// UTF-8 names fold through their UTF-16 form.
std::string fold_name(std::string_view name);
bool same_name(std::u16string_view a, std::u16string_view b);
bool same_name(std::string_view a, std::string_view b);

}  // namespace platform
