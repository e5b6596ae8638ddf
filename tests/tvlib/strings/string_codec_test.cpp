#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tvlib/strings/strings.h"

namespace {

TEST(StringCodec, HashVectors) {
  EXPECT_EQ(0u, StringHash(""));
  EXPECT_EQ(0xCA2E9442u, StringHash("a"));
  EXPECT_EQ(0x519E91F5u, StringHash("The quick brown fox jumps over the lazy dog"));
  // High bytes count as negative values (stored hashes depend on it).
  EXPECT_EQ(0xC31D4E27u, StringHash("\x80"));
}

TEST(StringCodec, UrlRoundTrip) {
  EXPECT_EQ("a+b%26c", UrlEncode("a b&c"));
  EXPECT_EQ("a b&c", UrlDecode("a+b%26c"));
  EXPECT_EQ("Az09_~-.", UrlEncode("Az09_~-."));
  EXPECT_EQ("%80%ff%2f", UrlEncode("\x80\xff/"));
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(all, UrlDecode(UrlEncode(all)));
  EXPECT_EQ("\xAB", UrlDecode("%aB"));
}

TEST(StringCodec, UrlDecodeMalformedPercent) {
  EXPECT_EQ("ab", UrlDecode("ab%"));
  EXPECT_EQ("ab4", UrlDecode("ab%4"));
  EXPECT_EQ("\x53", UrlDecode("%zz"));
}

TEST(StringCodec, HexDigit) {
  EXPECT_EQ('0', HexDigit(0));
  EXPECT_EQ('9', HexDigit(9));
  EXPECT_EQ('a', HexDigit(10));
  EXPECT_EQ('f', HexDigit(0x1F));
}

TEST(StringCodec, FixedBufferOfExactSizeHasNoTerminator) {
  char field[6];
  memset(field, 'G', sizeof field);
  StringToFixedBuffer("abcde", field, 5);
  EXPECT_EQ(0, memcmp(field, "abcde", 5));
  EXPECT_EQ('G', field[5]);  // guard untouched

  memset(field, 'G', sizeof field);
  StringToFixedBuffer("abcdefgh", field, 5);
  EXPECT_EQ(0, memcmp(field, "abcde", 5));
  EXPECT_EQ('G', field[5]);

  memset(field, 'G', sizeof field);
  StringToFixedBuffer("ab", field, 5);
  EXPECT_EQ(0, memcmp(field, "ab\0\0\0", 5));
  EXPECT_EQ('G', field[5]);
}

TEST(StringCodec, FromBufferCutsAtZero) {
  const char bytes[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ("ab", StringFromBuffer(bytes, 4));
  const char full[] = {'x', 'y', 'z'};
  EXPECT_EQ("xy", StringFromBuffer(full, 2));
  EXPECT_EQ("xyz", StringFromBuffer(full, 3));
}

TEST(StringCodec, WideToNarrowStopsAtCount) {
  const wchar_t unterminated[] = {L'a', L'b', L'c', L'X'};
  EXPECT_EQ("abc", WideToNarrow(unterminated, 3));
  EXPECT_EQ("hello", WideToNarrow(L"hello"));
  EXPECT_EQ("", WideToNarrow(L""));
  EXPECT_EQ("", WideToNarrow(nullptr));
  EXPECT_EQ("he", WideToNarrow(L"he\0llo", 6));
}

}  // namespace
