// Windows' printf formatting, for DbgPrintEx and the ntstrsafe functions: integer sizes
// follow the LLP64 model (%ld and %lx read 32 bits; %lld, %I64d and %llx read 64; %Id, %zd
// read a pointer-sized integer), %p prints 16 upper-case hex digits, and text conversions
// follow the function's width: in a narrow function %s and %c are narrow and %S, %ls, %ws,
// %C, %lc, %wc wide; in a wide function %s and %c are wide and %S, %hs, %C, %hc narrow. %Z
// takes a PSTRING and %wZ a PUNICODE_STRING; a NULL text prints "(null)". %n writes nothing.
// Internal to platform/kernel.
#pragma once

#include <cstdarg>
#include <string>

namespace platform::kernel {

// Narrow output is UTF-8 (wide arguments are converted); wide output is UTF-16.
std::string format_narrow(const char* format, va_list arguments);
std::u16string format_wide(const char16_t* format, va_list arguments);

}  // namespace platform::kernel
