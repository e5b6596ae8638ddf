#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tvlib/strings/strings.h"
#include "tvlib/strings/tokenizer.h"

namespace {

using Tokens = std::vector<std::string>;

Tokens Split(const std::string& text, const char* delimiters, int mode) {
  Tokens out;
  CStringTokenizer t(text, delimiters, mode);
  while (t.HasMoreTokens()) out.push_back(t.GetNextToken());
  return out;
}

struct ModeCase {
  const char* text;
  int mode;
  Tokens tokens;
};

TEST(Tokenizer, ModeTable) {
  const ModeCase cases[] = {
      {"a,,b", 1, {"a", "", "b"}},
      {"a,,b", 2, {"a", "", "b"}},
      {"a,,b", 3, {"a,", ",", "b"}},
      {"a,,b", 4, {"a", "b"}},
      {",", 1, {""}},
      {",", 2, {"", ""}},
      {",,", 1, {""}},
      {",,a", 1, {"", "", "a"}},
      {"a,,", 2, {"a", "", ""}},
      {"a,", 1, {"a"}},
      {"a,", 2, {"a", ""}},
      {"", 1, {}},
      {"", 2, {}},
      {",,", 4, {}},
  };
  for (const ModeCase& c : cases) {
    EXPECT_EQ(c.tokens, Split(c.text, ",", c.mode)) << "text '" << c.text << "' mode " << c.mode;
    EXPECT_EQ(c.tokens, StringSplit(c.text, ",", c.mode)) << "text '" << c.text << "'";
  }
}

TEST(Tokenizer, WhitespaceDefaultSkipsEmptyTokens) {
  CStringTokenizer t("a    b", " ", 0);
  EXPECT_EQ(4, t.Mode());
  EXPECT_EQ(Tokens({"a", "b"}), Split("  a    b ", " \t", 0));
}

TEST(Tokenizer, DefaultModeWithOtherDelimitersReturnsEmptyTokens) {
  CStringTokenizer t("x", ", ", 0);
  EXPECT_EQ(1, t.Mode());
  EXPECT_EQ(Tokens({"a", "", "b"}), Split("a,,b", ",", 0));
}

TEST(Tokenizer, EmptyDelimiterSetResolvesToSkipMode) {
  CStringTokenizer t("abc", "", 0);
  EXPECT_EQ(4, t.Mode());
  EXPECT_EQ("abc", t.GetNextToken());
  EXPECT_FALSE(t.HasMoreTokens());
}

TEST(Tokenizer, CountTokensDoesNotMove) {
  CStringTokenizer t("a,b,,c", ",", 1);
  EXPECT_EQ(4u, t.CountTokens());
  EXPECT_EQ("a", t.GetNextToken());
  EXPECT_EQ(3u, t.CountTokens());
  EXPECT_EQ(3u, t.CountTokens());
  EXPECT_EQ("b", t.GetNextToken());
}

TEST(Tokenizer, SecondSetStringKeepsDelimitersAndMode) {
  CStringTokenizer t("x;y", ";", 3);
  t.GetNextToken();
  t.SetString("p;q");
  EXPECT_EQ(3, t.Mode());
  EXPECT_EQ("p;", t.GetNextToken());
  EXPECT_EQ("q", t.GetNextToken());
  EXPECT_EQ("", t.GetNextToken());
}

TEST(Tokenizer, DelimiterSetIsNotCopied) {
  char delimiters[] = ",";
  CStringTokenizer t("a,b;c", delimiters, 1);
  delimiters[0] = ';';
  EXPECT_EQ("a,b", t.GetNextToken());
  EXPECT_EQ("c", t.GetNextToken());
}

TEST(Tokenizer, UnsetModeLogs) {
  TestTempDir dir;
  LogCapture log;
  CStringTokenizer t;
  EXPECT_FALSE(t.HasMoreTokens());
  EXPECT_EQ("", t.GetNextToken());
  EXPECT_TRUE(log.Has("unexpected tokenizer mode"));
}

}  // namespace
