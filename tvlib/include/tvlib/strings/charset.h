// Text of unknown or known encoding into UTF-8, UTF-16/UTF-8 conversion and
// printf-style formatting into a wide text.
//
// Stateless after static initialisation; any thread may call everything.
// Nothing logs: failures are a false result, an empty text or the unconverted
// input. Conversions go through GNU libiconv, which lives in this unit alone,
// so that programs that call none of this carry none of it.
//
// Results of the byte conversions are byte strings that may hold NUL bytes
// (an unconverted UTF-16 copy, for one): use their size, never c_str().
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Detection codes of DetectEncoding.
enum {
  eENCODING_8BIT = 0,     // even length, no mark, no zero byte: 8-bit or UTF-8
  eENCODING_ODD = 1,      // odd length or below 2, no UTF-8 mark
  eENCODING_LE_WIDE = 2,  // multiple of 4, single zeros, first at an odd index
  eENCODING_BE_WIDE = 3,  // the same, first zero at an even index
  eENCODING_UTF8 = 4,     // mark EF BB BF
  eENCODING_UTF16LE = 5,  // mark FF FE, or zeros so placed
  eENCODING_UTF16BE = 6,  // mark FE FF, or zeros so placed
  eENCODING_UTF32LE = 7,  // mark FF FE 00 00, or zero runs so placed
  eENCODING_UTF32BE = 8,  // mark 00 00 FE FF, or zero runs so placed
};

// Through the system's code-page functions; an invalid sequence becomes
// U+FFFD. Texts longer than INT_MAX units give an empty result.
std::string Utf16ToUtf8(const std::wstring& wide);
std::wstring Utf8ToUtf16(const std::string& text);

// msvcrt formatting (%s takes a wide text). A null format, or a text that
// cannot be formatted within 1 MiB characters, gives an empty text.
std::wstring StringPrintfW(const wchar_t* format, ...);
std::wstring StringPrintfWV(const wchar_t* format, va_list args);

// The detection code of `length` bytes. `markSize`, when given, receives the
// size of the byte-order mark to skip only when a mark is found: set it first.
int DetectEncoding(const unsigned char* bytes, size_t length, int* markSize = nullptr);

// Converts the bytes from `offset` on from the iconv encoding `encoding` to
// UTF-8 into `result`, in one call into room for three times the input.
// False, with the result untouched, for a null or unknown name, an offset
// beyond the length, an input too large for its room, an invalid or truncated
// sequence, or no memory. An offset equal to the length gives "" and true.
bool ConvertToUtf8(const unsigned char* bytes, size_t length, std::string& result, size_t offset,
                   const char* encoding);
// ConvertToUtf8 with each name in turn (null entries skipped); the first
// success wins. False when none converts.
bool ConvertToUtf8FromList(const unsigned char* bytes, size_t length, std::string& result, size_t offset,
                           const char* const* encodings, int count);

// Detects, skips the mark and converts to UTF-8 by the detection code's
// candidates; nothing converting leaves the bytes after the mark unconverted.
// `certain` (optional) is true only when the detection named one encoding
// (codes 4 to 8) and that encoding converted.
std::string DecodeTextToUtf8(const unsigned char* bytes, size_t length, bool* certain = nullptr);

// Fills the candidate lists' fixed entries. Runs during static
// initialisation; further calls change nothing.
void InitEncodingTable();
