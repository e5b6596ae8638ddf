#include "tvlib/strings/charset.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../../../tvlib/src/strings/charset_internal.h"

namespace {

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

int Detect(const std::string& bytes, int* mark) { return DetectEncoding(U(bytes), bytes.size(), mark); }

TEST(DetectEncoding, MarksAndZeroPatterns) {
  struct Case {
    std::string bytes;
    int code;
    int mark;  // -1: no mark, the output stays untouched
  };
  const Case cases[] = {
      {std::string(), 1, -1},
      {"A", 1, -1},
      {"AB", 0, -1},
      {"ABC", 1, -1},
      {"\xEF\xBB\xBF", 4, 3},
      {"\xEF\xBB\xBF"
       "abc",
       4, 3},
      {"\xEF\xBB\xBF"
       "ab",
       4, 3},  // odd length
      {"\xEF\xBB\xBF"
       "abcde",
       4, 3},  // a multiple of 4
      {std::string("\x00\x00\xFE\xFF", 4), 8, 4},
      {std::string("\xFF\xFE\x00\x00", 4), 7, 4},  // the UTF-32 mark before the UTF-16 one
      {std::string("\xFF\xFE"
                   "A\x00",
                   4),
       5, 2},
      {std::string("\xFE\xFF\x00"
                   "A",
                   4),
       6, 2},
      {std::string("A\x00"
                   "B\x00",
                   4),
       2, -1},
      {std::string("\x00"
                   "A\x00"
                   "B",
                   4),
       3, -1},
      {std::string("A\x00"
                   "B\x00"
                   "C\x00",
                   6),
       5, -1},
      {std::string("\x00"
                   "A\x00"
                   "B\x00"
                   "C",
                   6),
       6, -1},
      {std::string("A\x00\x00\x00"
                   "B\x00\x00\x00",
                   8),
       7, -1},
      {std::string("\x00\x00\x00"
                   "A\x00\x00\x00"
                   "B",
                   8),
       8, -1},
      {std::string("A\x00\x00"
                   "B",
                   4),
       7, -1},  // a pair without a run of three, at index 1
      {std::string("\x00\x00"
                   "AB",
                   4),
       8, -1},  // and at index 0
      {"ABCD", 0, -1},
      {std::string("AB\x00"
                   "C\x00\x00",
                   6),
       6, -1},  // zero pairs count only in 4-byte lengths
  };
  for (const Case& c : cases) {
    int mark = -1;
    EXPECT_EQ(c.code, Detect(c.bytes, &mark)) << testing::PrintToString(c.bytes);
    EXPECT_EQ(c.mark, mark) << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(4, DetectEncoding(U("\xEF\xBB\xBF"
                                "a"),
                              4, nullptr));
}

struct Decoded {
  std::string text;
  bool certain;
};

Decoded Decode(const std::string& bytes) {
  Decoded d;
  d.certain = !bytes.empty();  // must be overwritten
  d.text = DecodeTextToUtf8(U(bytes), bytes.size(), &d.certain);
  return d;
}

TEST(DecodeTextToUtf8, DecodesByTheDetectedCandidates) {
  struct Case {
    std::string bytes;
    std::string text;
    bool certain;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF"
       "abc",
       "abc", true},
      {std::string("A\x00"
                   "B\x00",
                   4),
       "AB", false},
      {std::string("A\x00"
                   "B\x00"
                   "C\x00",
                   6),
       "ABC", true},
      {"hello", "hello", false},
      {"\xE9"
       "A",
       "\xC3\xA9"
       "A",
       false},
      {std::string(), std::string(), false},
      {std::string("\xFF\xFE\x00\x00"
                   "A\x00\x00\x00",
                   8),
       "A", true},
      {std::string("\xFE\xFF\x00"
                   "A\x00"
                   "B",
                   6),
       "AB", true},
      {std::string("\x00\x00\x00"
                   "A",
                   4),
       "A", true},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(c.bytes);
    EXPECT_EQ(c.text, d.text) << testing::PrintToString(c.bytes);
    EXPECT_EQ(c.certain, d.certain) << testing::PrintToString(c.bytes);
  }
}

TEST(DecodeTextToUtf8, BrokenTextComesBackUnconverted) {
  Decoded utf8 = Decode(
      "\xEF\xBB\xBF"
      "A\xE2\x82");
  EXPECT_EQ("A\xE2\x82", utf8.text);
  EXPECT_FALSE(utf8.certain);

  std::string broken16(
      "\xFF\xFE"
      "A\x00\x00\xD8",
      6);  // ends inside a surrogate pair
  Decoded utf16 = Decode(broken16);
  EXPECT_EQ(broken16.substr(2), utf16.text);
  EXPECT_EQ(4u, utf16.text.size());
  EXPECT_FALSE(utf16.certain);
}

// No zero byte: not UTF-8, so the 8-bit candidates take it, within the room
// of three times the input.
TEST(DecodeTextToUtf8, LargeRandomInputFindsACandidate) {
  std::mt19937 random(12345);
  std::string bytes(16 << 20, '\0');
  for (char& c : bytes) c = static_cast<char>(1 + random() % 255);
  bool certain = true;
  std::string text = DecodeTextToUtf8(U(bytes), bytes.size(), &certain);
  EXPECT_GT(text.size(), bytes.size());
  EXPECT_LE(text.size(), bytes.size() * 3);
  EXPECT_FALSE(certain);
}

TEST(ConvertToUtf8, UnsafeArgumentsLeaveTheResultAlone) {
  const std::string bytes = "abc";
  std::string result = "untouched";
  EXPECT_FALSE(ConvertToUtf8(U(bytes), 3, result, 0, "NO-SUCH-CHARSET"));
  EXPECT_FALSE(ConvertToUtf8(U(bytes), 3, result, 0, ""));
  EXPECT_FALSE(ConvertToUtf8(U(bytes), 3, result, 0, nullptr));
  EXPECT_FALSE(ConvertToUtf8(U(bytes), 3, result, 4, "UTF-8"));
  EXPECT_FALSE(ConvertToUtf8(U("\x81"), 1, result, 0, "WINDOWS-1252"));
  EXPECT_EQ("untouched", result);

  EXPECT_TRUE(ConvertToUtf8(U(bytes), 3, result, 3, "UTF-8"));
  EXPECT_EQ("", result);
  EXPECT_TRUE(ConvertToUtf8(U(bytes), 3, result, 1, "UTF-8"));
  EXPECT_EQ("bc", result);
  // Three bytes out of one: the room of three times the input is enough.
  EXPECT_TRUE(ConvertToUtf8(U("\xB1"), 1, result, 0, "SHIFT_JIS"));
  EXPECT_EQ("\xEF\xBD\xB1", result);

  const char* const list[] = {nullptr, "NO-SUCH-CHARSET", "UTF-16LE"};
  EXPECT_TRUE(ConvertToUtf8FromList(U(std::string("A\x00", 2)), 2, result, 0, list, 3));
  EXPECT_EQ("A", result);
  EXPECT_FALSE(ConvertToUtf8FromList(U(bytes), 3, result, 0, list, 2));
}

TEST(Utf16Utf8, RoundTripsAndReplacesInvalidSequences) {
  std::wstring wide = std::wstring(L"a\u00e9") + L'\0' + L"\U0001F600z";
  std::string text = Utf16ToUtf8(wide);
  EXPECT_EQ(std::string("a\xC3\xA9\x00\xF0\x9F\x98\x80z", 9), text);
  EXPECT_EQ(wide, Utf8ToUtf16(text));

  EXPECT_EQ(
      "A\xEF\xBF\xBD"
      "B",
      Utf16ToUtf8(std::wstring(L"A") + wchar_t(0xD800) + L"B"));
  EXPECT_EQ(std::wstring(L"A\uFFFDB"), Utf8ToUtf16("A\xFF"
                                                   "B"));
  EXPECT_EQ("", Utf16ToUtf8(L""));
  EXPECT_EQ(L"", Utf8ToUtf16(""));
}

TEST(StringPrintfW, GrowsToAnyLength) {
  std::wstring longArg(1000, L'q');
  EXPECT_EQ(L"<" + longArg + L">", StringPrintfW(L"<%ls>", longArg.c_str()));
  // First room 6 for "%ls": texts just below, at and above it.
  for (const wchar_t* arg : {L"12345", L"123456", L"1234567"}) EXPECT_EQ(arg, StringPrintfW(L"%ls", arg));
  EXPECT_EQ(L"7 wide and 7", StringPrintfW(L"%d %s and %ls", 7, L"wide", L"7"));
  EXPECT_EQ(L"", StringPrintfW(nullptr));
  EXPECT_EQ(L"", StringPrintfW(L""));
}

TEST(StringPrintfW, AFormatThatNeverFitsEndsEmpty) {
  int calls = 0;
  std::wstring text = charset::FormatWideGrowing(4, [&](wchar_t*, size_t) {
    ++calls;
    return -1;
  });
  EXPECT_EQ(L"", text);
  EXPECT_LT(calls, 40);
}

TEST(StringPrintfW, TheGrowthRule) {
  std::vector<size_t> rooms;
  const std::wstring wanted(20, L'w');
  std::wstring text = charset::FormatWideGrowing(3, [&](wchar_t* room, size_t count) {
    rooms.push_back(count);
    if (count < 12) return -1;  // cut: doubles
    if (count < wanted.size()) return static_cast<int>(wanted.size());
    wanted.copy(room, wanted.size());
    return static_cast<int>(wanted.size());
  });
  EXPECT_EQ(wanted, text);
  EXPECT_EQ((std::vector<size_t>{6, 12, 22}), rooms);
}

}  // namespace
