#include "tvlib/strings/strings.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "tvlib/strings/tokenizer.h"

namespace {

bool InSet(const char* set, char c) {
  if (set == nullptr) return false;
  for (const char* p = set; *p != '\0'; ++p) {
    if (*p == c) return true;
  }
  return false;
}

inline int Upper(char c) { return toupper(static_cast<unsigned char>(c)); }

}  // namespace

std::string WideToNarrow(const wchar_t* wide, size_t count) {
  if (wide == nullptr) return std::string();
  if (count == 0) count = wcslen(wide);
  if (count == 0) return std::string();
  // A terminated private copy: wcstombs must not walk past `count` characters
  // of a caller's buffer that has no terminator of its own.
  std::wstring source(wide, count);
  std::string buffer(count + 1, '\0');
  wcstombs(&buffer[0], source.c_str(), count);
  buffer[count] = '\0';
  return std::string(buffer.c_str());
}

std::string StringToUpper(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string StringToLower(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string& StringTrimLeft(std::string& text, const char* set) {
  size_t i = 0;
  while (i < text.size() && InSet(set, text[i])) ++i;
  text.erase(0, i);
  return text;
}

std::string& StringTrimRight(std::string& text, const char* set) {
  size_t n = text.size();
  while (n > 0 && InSet(set, text[n - 1])) --n;
  text.resize(n);
  return text;
}

std::string& StringTrim(std::string& text, const char* set) {
  StringTrimLeft(text, set);
  return StringTrimRight(text, set);
}

std::string StringLeft(const std::string& text, size_t count) {
  return text.substr(0, count < text.size() ? count : text.size());
}

std::string StringMid(const std::string& text, size_t pos, int count) {
  if (pos >= text.size()) return std::string();
  size_t remaining = text.size() - pos;
  size_t n = (count < 0 || static_cast<size_t>(count) > remaining) ? remaining : static_cast<size_t>(count);
  return text.substr(pos, n);
}

std::string& StringReplaceAll(std::string& text, const std::string& pattern, const std::string& replacement) {
  if (pattern.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(pattern, pos)) != std::string::npos) {
    text.replace(pos, pattern.size(), replacement);
    pos += replacement.size();
  }
  return text;
}

std::string StringPrintfV(const char* format, va_list args) { return FormatStringV(format, args); }

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatStringV(format, args);
  va_end(args);
  return out;
}

bool StringEquals(const std::string& text, const std::string& other, bool caseSensitive) {
  if (text.size() != other.size()) return false;
  if (caseSensitive) return text == other;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Upper(text[i]) != Upper(other[i])) return false;
  }
  return true;
}

bool StringEquals(const std::string& text, const char* other, bool caseSensitive) {
  if (other == nullptr) return false;
  return StringEquals(text, std::string(other), caseSensitive);
}

int32_t StringCompare(const std::string& text, const std::string& other, bool caseSensitive) {
  if (!caseSensitive) return StringCompare(StringToLower(text), StringToLower(other), true);
  size_t common = text.size() < other.size() ? text.size() : other.size();
  int r = common ? memcmp(text.data(), other.data(), common) : 0;
  if (r != 0) return r;
  return static_cast<int32_t>(text.size()) - static_cast<int32_t>(other.size());
}

bool StringStartsWith(const std::string& text, const char* prefix, std::string* rest, bool caseSensitive) {
  if (prefix == nullptr) return false;
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    bool same = caseSensitive ? text[i] == prefix[i] : Upper(text[i]) == Upper(prefix[i]);
    if (!same) return false;
  }
  if (rest != nullptr) *rest = text.substr(i);
  return true;
}

bool StringEndsWith(const std::string& text, const char* suffix, bool caseSensitive) {
  if (suffix == nullptr) return false;
  size_t n = strlen(suffix);
  if (n > text.size()) return false;
  size_t base = text.size() - n;
  for (size_t i = 0; i < n; ++i) {
    char a = text[base + i];
    bool same = caseSensitive ? a == suffix[i] : Upper(a) == Upper(suffix[i]);
    if (!same) return false;
  }
  return true;
}

std::string StringBefore(const std::string& text, char c) {
  size_t p = text.find(c);
  return p == std::string::npos ? text : text.substr(0, p);
}

std::string StringBeforeLast(const std::string& text, char c) {
  size_t p = text.rfind(c);
  return p == std::string::npos ? std::string() : text.substr(0, p);
}

std::string StringAfter(const std::string& text, char c) {
  size_t p = text.find(c);
  return p == std::string::npos ? std::string() : text.substr(p + 1);
}

std::string StringAfterLast(const std::string& text, char c) {
  size_t p = text.rfind(c);
  return p == std::string::npos ? text : text.substr(p + 1);
}

bool StringToDouble(const std::string& text, double& out) {
  out = atof(text.c_str());
  return true;
}

bool StringToInt(const std::string& text, int& out) {
  out = atoi(text.c_str());
  return true;
}

bool StringToLong(const std::string& text, long& out) {
  out = atol(text.c_str());
  return true;
}

uint32_t StringHash(const char* text) {
  uint32_t h = 0;
  if (text == nullptr) return 0;
  for (const char* p = text; *p != '\0'; ++p) {
    h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}

std::string StringFromBuffer(const char* bytes, size_t count) {
  if (bytes == nullptr) return std::string();
  size_t n = 0;
  while (n < count && bytes[n] != '\0') ++n;
  return std::string(bytes, n);
}

void StringToFixedBuffer(const std::string& text, char* destination, size_t size) {
  if (destination == nullptr || size == 0) return;
  if (text.size() < size) {
    memcpy(destination, text.data(), text.size());
    memset(destination + text.size(), 0, size - text.size());
  } else {
    memcpy(destination, text.data(), size);
  }
}

std::vector<std::string> StringSplit(const std::string& text, const char* delimiters, int mode) {
  std::vector<std::string> tokens;
  CStringTokenizer tokenizer(text, delimiters, mode);
  while (tokenizer.HasMoreTokens()) tokens.push_back(tokenizer.GetNextToken());
  return tokens;
}

char HexDigit(unsigned value) { return "0123456789abcdef"[value & 0x0F]; }

std::string UrlEncode(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (isalnum(u) || c == '_' || c == '~' || c == '-' || c == '.') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += HexDigit(u >> 4);
      out += HexDigit(u);
    }
  }
  return out;
}

namespace {

int UrlNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return tolower(static_cast<unsigned char>(c)) - 87;
}

}  // namespace

std::string UrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 < n) {
        out += static_cast<char>(UrlNibble(text[i + 1]) * 16 + UrlNibble(text[i + 2]));
        i += 2;
      } else if (i + 1 < n) {
        // "%x" at the very end: the percent sign goes, the character stays.
        out += text[i + 1];
        i += 1;
      }
      // A lone '%' at the very end is dropped.
    } else {
      out += c;
    }
  }
  return out;
}
