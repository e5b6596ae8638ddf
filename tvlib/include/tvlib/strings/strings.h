// Free functions over narrow byte texts (ANSI code page).
//
// Stateless; any thread may call them. Case folding uses the C runtime's
// toupper/tolower of each byte in the "C" locale; note that StringEquals folds
// to upper case and StringCompare to lower case, so the six characters between
// 'Z' and 'a' order differently against letters in the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tvlib/log/log.h"

// Narrow copy of at most `count` wide characters (0 = up to the terminator),
// converted with wcstombs into at most `count` bytes and cut at the first zero
// byte. Never reads past `count` characters. A null text gives "".
std::string WideToNarrow(const wchar_t* wide, size_t count = 0);

std::string StringToUpper(const std::string& text);
std::string StringToLower(const std::string& text);

// In place: removes leading / trailing / both bytes that belong to `set`
// (a zero-terminated list of bytes). Returns `text`.
std::string& StringTrimLeft(std::string& text, const char* set);
std::string& StringTrimRight(std::string& text, const char* set);
std::string& StringTrim(std::string& text, const char* set);

// The first min(count, length) bytes.
std::string StringLeft(const std::string& text, size_t count);
// `count` bytes from `pos` (-1 = to the end), cut to what exists; "" past the end.
std::string StringMid(const std::string& text, size_t pos, int count = -1);

// In place: replaces every occurrence of `pattern`; the search resumes after
// the inserted replacement, so a replacement containing the pattern is not
// replaced again. An empty pattern changes nothing.
std::string& StringReplaceAll(std::string& text, const std::string& pattern, const std::string& replacement);

std::string StringPrintf(const char* format, ...) TVLIB_PRINTF(1, 2);
std::string StringPrintfV(const char* format, va_list args);

// Case-insensitive form compares toupper copies. A null `other` is unequal.
bool StringEquals(const std::string& text, const std::string& other, bool caseSensitive);
bool StringEquals(const std::string& text, const char* other, bool caseSensitive);

// memcmp of the common length, then the length difference; case-insensitive
// form compares tolower copies.
int32_t StringCompare(const std::string& text, const std::string& other, bool caseSensitive);

// On success `rest` (optional) receives the text after the prefix. An empty
// prefix matches; a null prefix does not.
bool StringStartsWith(const std::string& text, const char* prefix, std::string* rest, bool caseSensitive);
// False for a null suffix or one longer than the text; true for an empty one.
bool StringEndsWith(const std::string& text, const char* suffix, bool caseSensitive);

// Absent byte: Before gives the whole text, BeforeLast "".
std::string StringBefore(const std::string& text, char c);
std::string StringBeforeLast(const std::string& text, char c);
// Absent byte: After gives "", AfterLast the whole text.
std::string StringAfter(const std::string& text, char c);
std::string StringAfterLast(const std::string& text, char c);

// atof / atoi / atol into `out`; always true (unreadable text gives what the
// runtime gives, normally 0).
bool StringToDouble(const std::string& text, double& out);
bool StringToInt(const std::string& text, int& out);
bool StringToLong(const std::string& text, long& out);

// One-at-a-time hash. Bytes are taken as signed chars (sign-extended), which
// is what stored hashes were computed with; do not change to unsigned.
uint32_t StringHash(const char* text);

// The bytes up to the first zero byte, at most `count`.
std::string StringFromBuffer(const char* bytes, size_t count);
// Copies into a fixed field of `size` bytes, zero-filled after a shorter text.
// A text of `size` bytes or more fills the field with no terminator.
void StringToFixedBuffer(const std::string& text, char* destination, size_t size);

// All tokens of `text`, by the rules of CStringTokenizer (tokenizer.h).
std::vector<std::string> StringSplit(const std::string& text, const char* delimiters, int mode);

// '0'..'9', 'a'..'f' for the low 4 bits.
char HexDigit(unsigned value);

// Keeps alphanumerics and "_~-."; ' ' becomes '+'; every other byte "%xx".
std::string UrlEncode(const std::string& text);
// '+' becomes ' ', "%xy" one byte (hex digits not validated); a '%' with fewer
// than two characters after it is dropped.
std::string UrlDecode(const std::string& text);

// Small helpers.
inline char StringLastChar(const std::string& text) { return text.empty() ? '\0' : text.back(); }
inline void StringDropFirst(std::string& text) {
  if (!text.empty()) text.erase(0, 1);
}
// The text must not be empty.
inline void StringDropLast(std::string& text) { text.pop_back(); }
inline bool StringIsEmpty(const std::string& text) { return text.empty(); }
