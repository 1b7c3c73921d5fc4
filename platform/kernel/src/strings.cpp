// Run-time string functions: RtlInitUnicodeString and the ntstrsafe printf family.
#include <cstdarg>

#include "format.h"
#include "kernel_internal.h"
#include "ntstrsafe.h"

namespace {

// Copies what fits with its terminator: STATUS_BUFFER_OVERFLOW when the text was cut.
template <typename Char>
NTSTATUS copy_out(const std::basic_string<Char>& text, Char* destination, size_t capacity) {
  const size_t fit = text.size() < capacity ? text.size() : capacity - 1;
  std::memcpy(destination, text.data(), fit * sizeof(Char));
  destination[fit] = 0;
  return fit == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS vprintf_a(NTSTRSAFE_PSTR destination, size_t characters, NTSTRSAFE_PCSTR format, va_list arguments) {
  if (destination == nullptr || characters == 0 || characters > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  if (format == nullptr) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return copy_out(platform::kernel::format_narrow(format, arguments), destination, characters);
}

NTSTATUS vprintf_w(NTSTRSAFE_PWSTR destination, size_t characters, NTSTRSAFE_PCWSTR format, va_list arguments) {
  if (destination == nullptr || characters == 0 || characters > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  if (format == nullptr) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return copy_out(platform::kernel::format_wide(format, arguments), destination, characters);
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  KERNEL_ENTRY("RtlInitUnicodeString");
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t units = 0;
  while (SourceString[units] != 0) ++units;
  // Counted strings hold at most 32766 characters; a longer source is cut, as on Windows.
  if (units > (MAXUSHORT - sizeof(WCHAR)) / sizeof(WCHAR)) units = (MAXUSHORT - sizeof(WCHAR)) / sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  KERNEL_STATUS_ENTRY("RtlStringCchVPrintfA");
  return vprintf_a(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  KERNEL_STATUS_ENTRY("RtlStringCchVPrintfW");
  return vprintf_w(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  KERNEL_STATUS_ENTRY("RtlStringCchPrintfA");
  va_list arguments;
  va_start(arguments, pszFormat);
  const NTSTATUS status = vprintf_a(pszDest, cchDest, pszFormat, arguments);
  va_end(arguments);
  return status;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  KERNEL_STATUS_ENTRY("RtlStringCchPrintfW");
  va_list arguments;
  va_start(arguments, pszFormat);
  const NTSTATUS status = vprintf_w(pszDest, cchDest, pszFormat, arguments);
  va_end(arguments);
  return status;
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  KERNEL_STATUS_ENTRY("RtlStringCbPrintfA");
  va_list arguments;
  va_start(arguments, pszFormat);
  const NTSTATUS status = vprintf_a(pszDest, cbDest, pszFormat, arguments);
  va_end(arguments);
  return status;
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  KERNEL_STATUS_ENTRY("RtlStringCbPrintfW");
  va_list arguments;
  va_start(arguments, pszFormat);
  const NTSTATUS status = vprintf_w(pszDest, cbDest / sizeof(WCHAR), pszFormat, arguments);
  va_end(arguments);
  return status;
}
