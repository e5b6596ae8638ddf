#include "tvlib/strings/charset.h"

#include <iconv.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <new>
#include <vector>

#include "charset_internal.h"
#include "tvlib/win.h"

namespace {

const char kUtf16BE[] = "UTF-16BE";
const char kUtf16LE[] = "UTF-16LE";
const char kUtf32BE[] = "UTF-32BE";
const char kUtf32LE[] = "UTF-32LE";
const char kUtf8[] = "UTF-8";
const char kTarget[] = "utf-8";

// The entries left null repeat the fixed names; InitEncodingTable fills them.
const char* g_oddList[10] = {nullptr,        "ISO-8859-1", "ISO-8859-2", "ISO-8859-5", "WINDOWS-1251",
                             "WINDOWS-1252", "SHIFT_JIS",  "GB2312",     "EUC-KR",     "BIG5"};
const char* g_fullList[14] = {nullptr,        "ISO-8859-1", "ISO-8859-2", "ISO-8859-5", "WINDOWS-1251",
                              "WINDOWS-1252", "SHIFT_JIS",  "GB2312",     "EUC-KR",     "BIG5",
                              nullptr,        nullptr,      nullptr,      nullptr};
const char* g_littleEndianPair[2] = {nullptr, nullptr};
const char* g_bigEndianPair[2] = {nullptr, nullptr};

std::once_flag g_tableFilled;

void FillEncodingTable() {
  g_oddList[0] = kUtf8;
  g_fullList[0] = kUtf8;
  g_fullList[10] = kUtf16LE;
  g_fullList[11] = kUtf32LE;
  g_fullList[12] = kUtf16BE;
  g_fullList[13] = kUtf32BE;
  g_littleEndianPair[0] = kUtf16LE;
  g_littleEndianPair[1] = kUtf32LE;
  g_bigEndianPair[0] = kUtf16BE;
  g_bigEndianPair[1] = kUtf32BE;
}

const bool g_tableReady = (InitEncodingTable(), true);

// Index of the first zero byte at or after `from`, or n.
size_t FindZero(const unsigned char* b, size_t n, size_t from) {
  for (size_t i = from; i < n; ++i)
    if (b[i] == 0) return i;
  return n;
}

// Index of the first run of `run` zero bytes lying wholly inside, or n.
size_t FindZeroRun(const unsigned char* b, size_t n, size_t run) {
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    length = b[i] == 0 ? length + 1 : 0;
    if (length == run) return i + 1 - run;
  }
  return n;
}

bool StartsWith(const unsigned char* b, size_t n, const unsigned char* mark, size_t size) {
  if (n < size) return false;
  for (size_t i = 0; i < size; ++i)
    if (b[i] != mark[i]) return false;
  return true;
}

int Mark(int* markSize, int size, int code) {
  if (markSize != nullptr) *markSize = size;
  return code;
}

}  // namespace

void InitEncodingTable() { std::call_once(g_tableFilled, FillEncodingTable); }

// ---------------------------------------------------------------- detection

int DetectEncoding(const unsigned char* bytes, size_t n, int* markSize) {
  static const unsigned char kMark32BE[] = {0x00, 0x00, 0xFE, 0xFF};
  static const unsigned char kMark32LE[] = {0xFF, 0xFE, 0x00, 0x00};
  static const unsigned char kMark16BE[] = {0xFE, 0xFF};
  static const unsigned char kMark16LE[] = {0xFF, 0xFE};
  static const unsigned char kMark8[] = {0xEF, 0xBB, 0xBF};
  if (bytes == nullptr) n = 0;

  bool fourByte = n % 4 == 0 && n >= 4;
  if (fourByte) {
    if (StartsWith(bytes, n, kMark32BE, 4)) return Mark(markSize, 4, eENCODING_UTF32BE);
    if (StartsWith(bytes, n, kMark32LE, 4)) return Mark(markSize, 4, eENCODING_UTF32LE);
  } else if (n % 2 == 1 || n < 2) {
    if (n <= 2) return eENCODING_ODD;
    return StartsWith(bytes, n, kMark8, 3) ? Mark(markSize, 3, eENCODING_UTF8) : eENCODING_ODD;
  }

  if (StartsWith(bytes, n, kMark16BE, 2)) return Mark(markSize, 2, eENCODING_UTF16BE);
  if (StartsWith(bytes, n, kMark16LE, 2)) return Mark(markSize, 2, eENCODING_UTF16LE);
  if (StartsWith(bytes, n, kMark8, 3)) return Mark(markSize, 3, eENCODING_UTF8);

  if (fourByte) {
    size_t pair = FindZeroRun(bytes, n, 2);
    if (pair < n) {
      size_t run = FindZeroRun(bytes, n, 3);
      size_t at = run < n ? run : pair;
      return at % 4 != 0 ? eENCODING_UTF32LE : eENCODING_UTF32BE;
    }
  }
  size_t zero = FindZero(bytes, n, 0);
  if (zero == n) return eENCODING_8BIT;
  if (fourByte) return zero % 2 == 0 ? eENCODING_BE_WIDE : eENCODING_LE_WIDE;
  return zero % 2 == 0 ? eENCODING_UTF16BE : eENCODING_UTF16LE;
}

// ---------------------------------------------------------------- iconv

bool ConvertToUtf8(const unsigned char* bytes, size_t length, std::string& result, size_t offset,
                   const char* encoding) {
  if (encoding == nullptr || offset > length || (bytes == nullptr && length != 0)) return false;
  size_t inputSize = length - offset;
  if (inputSize > SIZE_MAX / 3) return false;

  iconv_t cd = iconv_open(kTarget, encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  if (inputSize == 0) {
    iconv_close(cd);
    result.clear();
    return true;
  }
  size_t roomSize = inputSize * 3;
  char* room = static_cast<char*>(std::malloc(roomSize));
  if (room == nullptr) {
    iconv_close(cd);
    return false;
  }
  const char* in = reinterpret_cast<const char*>(bytes + offset);
  size_t inLeft = inputSize;
  char* out = room;
  size_t outLeft = roomSize;
  size_t converted = iconv(cd, &in, &inLeft, &out, &outLeft);
  iconv_close(cd);
  bool ok = converted != static_cast<size_t>(-1);
  if (ok) {
    // assign may throw on a failed allocation; the library throws nothing.
    try {
      result.assign(room, roomSize - outLeft);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  std::free(room);
  return ok;
}

bool ConvertToUtf8FromList(const unsigned char* bytes, size_t length, std::string& result, size_t offset,
                           const char* const* encodings, int count) {
  if (encodings == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    if (encodings[i] != nullptr && ConvertToUtf8(bytes, length, result, offset, encodings[i])) return true;
  }
  return false;
}

std::string DecodeTextToUtf8(const unsigned char* bytes, size_t length, bool* certain) {
  InitEncodingTable();
  if (bytes == nullptr) length = 0;
  int markSize = 0;
  int code = DetectEncoding(bytes, length, &markSize);
  size_t skip = static_cast<size_t>(markSize);
  std::string result;
  if (length > skip) result.assign(reinterpret_cast<const char*>(bytes) + skip, length - skip);
  if (certain != nullptr) *certain = false;

  const char* fixed = nullptr;
  switch (code) {
    case eENCODING_ODD: ConvertToUtf8FromList(bytes, length, result, skip, g_oddList, 10); break;
    case eENCODING_LE_WIDE: ConvertToUtf8FromList(bytes, length, result, skip, g_littleEndianPair, 2); break;
    case eENCODING_BE_WIDE: ConvertToUtf8FromList(bytes, length, result, skip, g_bigEndianPair, 2); break;
    case eENCODING_UTF8: fixed = kUtf8; break;
    case eENCODING_UTF16LE: fixed = kUtf16LE; break;
    case eENCODING_UTF16BE: fixed = kUtf16BE; break;
    case eENCODING_UTF32LE: fixed = kUtf32LE; break;
    case eENCODING_UTF32BE: fixed = kUtf32BE; break;
    default: ConvertToUtf8FromList(bytes, length, result, skip, g_fullList, 14); break;
  }
  if (fixed != nullptr && ConvertToUtf8(bytes, length, result, skip, fixed) && certain != nullptr)
    *certain = true;
  return result;
}

// ---------------------------------------------------------------- UTF-16

std::string Utf16ToUtf8(const std::wstring& wide) {
  if (wide.empty() || wide.size() > INT_MAX) return std::string();
  int count = static_cast<int>(wide.size());
  int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  int made = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, &text[0], size, nullptr, nullptr);
  text.resize(made > 0 ? static_cast<size_t>(made) : 0);
  return text;
}

std::wstring Utf8ToUtf16(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  int count = static_cast<int>(text.size());
  int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  int made = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, &wide[0], size);
  wide.resize(made > 0 ? static_cast<size_t>(made) : 0);
  return wide;
}

// ---------------------------------------------------------------- wide formatting

namespace charset {

std::wstring FormatWideGrowing(size_t formatLength, const WideFormatter& format) {
  // msvcrt answers -1 both for "does not fit" and for a conversion it cannot
  // make: without a cap, a format that never succeeds doubles without end.
  const size_t kCap = 1u << 20;
  if (formatLength > kCap / 2) return std::wstring();
  size_t room = formatLength * 2;
  std::vector<wchar_t> buffer;
  for (;;) {
    buffer.assign(room + 1, L'\0');
    int answer = format(buffer.data(), room);
    if (answer >= 0 && static_cast<size_t>(answer) < room) return std::wstring(buffer.data());
    if (answer < 0) {
      if (room >= kCap) return std::wstring();
      room = room == 0 ? 2 : (room * 2 < kCap ? room * 2 : kCap);
    } else {
      if (static_cast<size_t>(answer) + 2 > kCap) return std::wstring();
      room = static_cast<size_t>(answer) + 2;
    }
  }
}

}  // namespace charset

std::wstring StringPrintfWV(const wchar_t* format, va_list args) {
  if (format == nullptr) return std::wstring();
  return charset::FormatWideGrowing(wcslen(format), [&](wchar_t* room, size_t count) {
    va_list copy;
    va_copy(copy, args);
    int answer = _vsnwprintf(room, count, format, copy);
    va_end(copy);
    return answer;
  });
}

std::wstring StringPrintfW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = StringPrintfWV(format, args);
  va_end(args);
  return text;
}
