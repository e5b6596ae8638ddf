// Splits a text at any byte of a delimiter set.
//
// Owned and used by one thread. The text is copied; the delimiter set is NOT:
// the caller keeps it alive as long as the tokenizer is used.
//
// Modes: 0 = choose at set-up (4 when every delimiter is white space, also for
// an empty set, else 1); 1 = return empty tokens; 2 = also a trailing empty
// token after a final delimiter; 3 = each token keeps its ending delimiter;
// 4 = skip empty tokens; -1 = not set up (any query logs an error).
#pragma once

#include <cstdint>
#include <string>

class CStringTokenizer {
 public:
  CStringTokenizer();
  CStringTokenizer(const std::string& text, const char* delimiters, int mode = 0);

  void SetString(const std::string& text, const char* delimiters, int mode = 0);
  // New text; delimiters and mode are kept.
  void SetString(const std::string& text);

  bool HasMoreTokens();
  // The next token, or "" when none is left.
  std::string GetNextToken();
  // Tokens GetNextToken would still return; the position does not move.
  uint32_t CountTokens() const;

  int Mode() const { return mode_; }

 private:
  bool IsDelimiter(char c) const;

  std::string text_;
  const char* delimiters_;
  uint32_t position_;
  int32_t mode_;
  char lastDelimiter_;
};
