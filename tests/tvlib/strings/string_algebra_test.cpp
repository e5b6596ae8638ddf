#include <gtest/gtest.h>

#include <string>

#include "tvlib/strings/strings.h"

namespace {

TEST(StringAlgebra, TrimOfOnlySetBytesGivesEmpty) {
  std::string s = "   ";
  EXPECT_EQ("", StringTrim(s, " \t"));
  std::string t = " \tab c\t ";
  EXPECT_EQ("ab c", StringTrim(t, " \t"));
  std::string l = "xxaxx";
  EXPECT_EQ("axx", StringTrimLeft(l, "x"));
  std::string r = "xxaxx";
  EXPECT_EQ("xxa", StringTrimRight(r, "x"));
  std::string e;
  EXPECT_EQ("", StringTrim(e, " "));
}

TEST(StringAlgebra, LeftAndMid) {
  EXPECT_EQ("ab", StringLeft("abcde", 2));
  EXPECT_EQ("abcde", StringLeft("abcde", 99));
  EXPECT_EQ("", StringMid("abcde", 5));
  EXPECT_EQ("", StringMid("abcde", 9, 2));
  EXPECT_EQ("cde", StringMid("abcde", 2, 100));
  EXPECT_EQ("cde", StringMid("abcde", 2));
  EXPECT_EQ("bc", StringMid("abcde", 1, 2));
}

TEST(StringAlgebra, ReplaceAllDoesNotRescanReplacement) {
  std::string s = "aaa";
  EXPECT_EQ("aaaaaa", StringReplaceAll(s, "a", "aa"));
  std::string t = "a.b.c";
  EXPECT_EQ("a::b::c", StringReplaceAll(t, ".", "::"));
  std::string u = "abc";
  EXPECT_EQ("abc", StringReplaceAll(u, "", "x"));
  std::string v = "xyxy";
  EXPECT_EQ("", StringReplaceAll(v, "xy", ""));
}

TEST(StringAlgebra, PrintfFormats) {
  EXPECT_EQ("SN0000ABCD Ch 2", StringPrintf("SN%08X Ch %d", 0xABCDu, 2));
  std::string longer(5000, 'q');
  EXPECT_EQ(longer + "!", StringPrintf("%s!", longer.c_str()));
}

TEST(StringAlgebra, EqualsFoldsUpCompareFoldsDown) {
  EXPECT_TRUE(StringEquals("Abc", "aBC", false));
  EXPECT_FALSE(StringEquals("Abc", "aBC", true));
  EXPECT_FALSE(StringEquals("abc", "abcd", false));
  EXPECT_FALSE(StringEquals("abc", static_cast<const char*>(nullptr), false));
  EXPECT_TRUE(StringEquals(std::string("x"), std::string("X"), false));
  // '[' lies between 'Z' and 'a': lower-case folding puts it before "a",
  // upper-case folding would put it after "A".
  EXPECT_LT(StringCompare("[", "a", false), 0);
  EXPECT_GT(StringCompare("[", "A", true), 0);
  EXPECT_EQ(0, StringCompare("HeLLo", "hello", false));
  EXPECT_LT(StringCompare("abc", "abd", true), 0);
  EXPECT_EQ(-2, StringCompare("ab", "abcd", true));
  EXPECT_EQ(1, StringCompare("abc", "ab", true));
}

TEST(StringAlgebra, StartsAndEndsWith) {
  std::string rest = "unchanged";
  EXPECT_TRUE(StringStartsWith("--verbose", "--", &rest, true));
  EXPECT_EQ("verbose", rest);
  EXPECT_TRUE(StringStartsWith("ABCdef", "abc", &rest, false));
  EXPECT_EQ("def", rest);
  rest = "kept";
  EXPECT_FALSE(StringStartsWith("ABCdef", "abc", &rest, true));
  EXPECT_EQ("kept", rest);
  EXPECT_FALSE(StringStartsWith("ab", "abc", nullptr, true));
  EXPECT_TRUE(StringStartsWith("ab", "", &rest, true));
  EXPECT_EQ("ab", rest);

  EXPECT_TRUE(StringEndsWith("file.XML", ".xml", false));
  EXPECT_FALSE(StringEndsWith("file.XML", ".xml", true));
  EXPECT_TRUE(StringEndsWith("abc", "", true));
  EXPECT_FALSE(StringEndsWith("abc", "xabc", true));
  EXPECT_FALSE(StringEndsWith("abc", nullptr, true));
}

TEST(StringAlgebra, BeforeAndAfter) {
  EXPECT_EQ("a", StringBefore("a.b.c", '.'));
  EXPECT_EQ("a.b", StringBeforeLast("a.b.c", '.'));
  EXPECT_EQ("b.c", StringAfter("a.b.c", '.'));
  EXPECT_EQ("c", StringAfterLast("a.b.c", '.'));
  // Absent byte.
  EXPECT_EQ("abc", StringBefore("abc", '.'));
  EXPECT_EQ("", StringBeforeLast("abc", '.'));
  EXPECT_EQ("", StringAfter("abc", '.'));
  EXPECT_EQ("abc", StringAfterLast("abc", '.'));
  // At position 0.
  EXPECT_EQ("", StringBefore(".abc", '.'));
  EXPECT_EQ("", StringBeforeLast(".abc", '.'));
  EXPECT_EQ("abc", StringAfter(".abc", '.'));
}

TEST(StringAlgebra, CaseCopiesAndNumbers) {
  EXPECT_EQ("ABC-1\xE9", StringToUpper("aBc-1\xE9"));
  EXPECT_EQ("abc-1", StringToLower("aBC-1"));
  int i = 7;
  EXPECT_TRUE(StringToInt("x", i));
  EXPECT_EQ(0, i);
  long l = 0;
  EXPECT_TRUE(StringToLong(" -42z", l));
  EXPECT_EQ(-42, l);
  double d = 0;
  EXPECT_TRUE(StringToDouble("2.5", d));
  EXPECT_DOUBLE_EQ(2.5, d);
}

TEST(StringAlgebra, SmallHelpers) {
  std::string s = "abc";
  EXPECT_EQ('c', StringLastChar(s));
  StringDropFirst(s);
  EXPECT_EQ("bc", s);
  StringDropLast(s);
  EXPECT_EQ("b", s);
  std::string e;
  StringDropFirst(e);
  EXPECT_TRUE(StringIsEmpty(e));
}

}  // namespace
