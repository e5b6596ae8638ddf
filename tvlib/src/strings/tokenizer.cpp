#include "tvlib/strings/tokenizer.h"

#include <cctype>

#include "tvlib/log/log.h"

namespace {

int ResolveMode(const char* delimiters, int mode) {
  if (mode != 0) return mode;
  if (delimiters != nullptr) {
    for (const char* p = delimiters; *p != '\0'; ++p) {
      if (!isspace(static_cast<unsigned char>(*p))) return 1;
    }
  }
  return 4;
}

}  // namespace

CStringTokenizer::CStringTokenizer() : delimiters_(""), position_(0), mode_(-1), lastDelimiter_(0) {}

CStringTokenizer::CStringTokenizer(const std::string& text, const char* delimiters, int mode)
    : delimiters_(""), position_(0), mode_(-1), lastDelimiter_(0) {
  SetString(text, delimiters, mode);
}

void CStringTokenizer::SetString(const std::string& text, const char* delimiters, int mode) {
  text_ = text;
  delimiters_ = delimiters != nullptr ? delimiters : "";
  mode_ = ResolveMode(delimiters_, mode);
  position_ = 0;
  lastDelimiter_ = 0;
}

void CStringTokenizer::SetString(const std::string& text) {
  text_ = text;
  position_ = 0;
  lastDelimiter_ = 0;
}

bool CStringTokenizer::IsDelimiter(char c) const {
  // An explicit walk: strchr would also "find" a zero byte of the text.
  for (const char* p = delimiters_; *p != '\0'; ++p) {
    if (*p == c) return true;
  }
  return false;
}

bool CStringTokenizer::HasMoreTokens() {
  for (size_t i = position_; i < text_.size(); ++i) {
    if (!IsDelimiter(text_[i])) return true;
  }
  switch (mode_) {
    case 2:
      if (position_ < text_.size()) return true;
      return lastDelimiter_ != 0;
    case 1:
    case 3: return position_ == 0 && !text_.empty();
    case 4: return false;
    case 0:
    case -1: LogError("unexpected tokenizer mode"); return false;
    default: return false;
  }
}

std::string CStringTokenizer::GetNextToken() {
  for (;;) {
    if (!HasMoreTokens()) return std::string();
    size_t i = position_;
    while (i < text_.size() && !IsDelimiter(text_[i])) ++i;
    std::string token;
    if (i >= text_.size()) {
      token = text_.substr(position_);
      lastDelimiter_ = 0;
      position_ = static_cast<uint32_t>(text_.size());
    } else {
      size_t end = mode_ == 3 ? i + 1 : i;
      token = text_.substr(position_, end - position_);
      position_ = static_cast<uint32_t>(i + 1);
      lastDelimiter_ = text_[i];
    }
    if (mode_ == 4 && token.empty()) continue;
    return token;
  }
}

uint32_t CStringTokenizer::CountTokens() const {
  CStringTokenizer copy(*this);
  uint32_t count = 0;
  while (copy.HasMoreTokens()) {
    copy.GetNextToken();
    ++count;
  }
  return count;
}
