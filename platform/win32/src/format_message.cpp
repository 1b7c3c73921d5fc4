// FormatMessageW for message templates given as text, as the event decoder formats event
// messages: insertions %1..%99 take the string arguments of an argument array.
#include <cstring>
#include <string>

#include "platform/core/faults.h"
#include "winbase.h"

namespace {

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Where an expansion goes: a text kept per thread, so that formatting one message after
// another does not allocate; the result is copied once into the caller's block.
struct ExpandedText {
  std::u16string& text;
  void append(const char16_t* begin, const char16_t* end) { text.append(begin, static_cast<std::size_t>(end - begin)); }
  void append(const char16_t* value) { text.append(value); }
  void push_back(char16_t c) { text.push_back(c); }
};

std::u16string& scratch_text() {
  thread_local std::u16string text;
  text.clear();
  return text;
}

// Expands `source` into `out`; false when an insertion names an argument and none was given.
bool expand(const char16_t* source, const DWORD_PTR* arguments, bool ignore_inserts, ExpandedText& out) {
  for (const char16_t* p = source; *p != 0; ++p) {
    if (*p != u'%') {
      const char16_t* run = p;
      while (p[1] != 0 && p[1] != u'%') ++p;
      out.append(run, p + 1);
      continue;
    }
    const char16_t next = p[1];
    if (next == 0) break;
    if (is_digit(next) && next != u'0') {
      unsigned number = static_cast<unsigned>(next - u'0');
      const char16_t* end = p + 2;
      if (is_digit(*end)) number = number * 10 + static_cast<unsigned>(*end++ - u'0');
      // A printf form such as !s! may follow; the stand-in renders every insertion as text,
      // which is the only form message templates use.
      const char16_t* form_end = end;
      if (*end == u'!') {
        const char16_t* close = end + 1;
        while (*close != 0 && *close != u'!') ++close;
        if (*close == u'!') form_end = close + 1;
      }
      if (ignore_inserts) {
        out.append(p, form_end);
      } else {
        if (arguments == nullptr) return false;
        const auto* text = reinterpret_cast<const char16_t*>(arguments[number - 1]);
        if (text != nullptr) out.append(text);
      }
      p = form_end - 1;
      continue;
    }
    ++p;
    switch (next) {
      case u'n': out.append(u"\r\n"); break;
      case u'0': return true;  // ends the message without a line break
      case u't': out.push_back(u'\t'); break;
      case u'r': out.push_back(u'\r'); break;
      case u'b': out.push_back(u' '); break;
      default: out.push_back(next); break;  // %% %. %! and any other character
    }
  }
  return true;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD, DWORD, LPWSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
  if (auto armed = ::platform::take_fault("FormatMessageW")) {
    SetLastError(static_cast<DWORD>(*armed));
    return 0;
  }
  if ((dwFlags & FORMAT_MESSAGE_FROM_STRING) == 0 || lpSource == nullptr || lpBuffer == nullptr ||
      (Arguments != nullptr && (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto* source = static_cast<const char16_t*>(lpSource);
  const auto* arguments = reinterpret_cast<const DWORD_PTR*>(Arguments);
  const bool ignore_inserts = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  ExpandedText expanded{scratch_text()};
  if (!expand(source, arguments, ignore_inserts, expanded)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t length = expanded.text.size();
  const std::size_t bytes = (length + 1) * sizeof(char16_t);
  char16_t* target = nullptr;
  if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    target = static_cast<char16_t*>(LocalAlloc(LMEM_FIXED, bytes < nSize * sizeof(char16_t) ? nSize * sizeof(char16_t) : bytes));
    if (target == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    *reinterpret_cast<char16_t**>(lpBuffer) = target;
  } else {
    if (length + 1 > nSize) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    target = reinterpret_cast<char16_t*>(lpBuffer);
  }
  std::memcpy(target, expanded.text.c_str(), bytes);
  return static_cast<DWORD>(length);
}
