// Text handling behind predicate comparisons: folding for the [c] and [d]
// options, wildcard (LIKE) and regular-expression (MATCHES) patterns.
// Internal to the predicate engine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::predicate_text {

// UTF-8 to code points. A byte that does not start a valid sequence becomes
// U+DC00 + byte, so that invalid texts still compare consistently.
std::u32string DecodeUtf8(std::string_view text);
// Code points to UTF-8 (the U+DCxx bytes above are written as three bytes).
std::string EncodeUtf8(std::u32string_view text);

// One code point with its case folded, or with its diacritics removed (0 for
// a combining mark, which disappears).
char32_t FoldCase(char32_t c);
char32_t StripDiacritics(char32_t c);

// The text as the options compare it: case folded with the case-insensitive
// bit, diacritics removed with the diacritic-insensitive bit; unchanged
// without either or with the normalized bit. Folded texts compare by bytes,
// which is code point order.
std::string FoldText(std::string_view text, std::uint32_t options);
// The same into an existing string, reusing its storage.
void FoldTextInto(std::string_view text, std::uint32_t options, std::string& folded);

// A LIKE pattern: "*" any run of characters, "?" one character, "\" makes
// the next character literal. The pattern is folded with the options at
// construction; subjects must be folded the same way (FoldText).
class LikePattern {
 public:
  LikePattern(std::string_view foldedPattern);
  bool matches(std::string_view foldedSubject) const;

 private:
  enum class Kind : std::uint8_t { Literal, One, Any };
  struct Token {
    Kind kind;
    char32_t c;
  };
  std::vector<Token> tokens_;
};

// A MATCHES pattern: an ICU regular expression that must match the whole
// subject. Built from the raw pattern and the options (folding the pattern
// outside its escapes); an invalid pattern matches nothing, and neither does
// a match that runs past the backtracking memory or time bound.
class RegexPattern {
 public:
  RegexPattern(std::string_view pattern, std::uint32_t options);
  ~RegexPattern();
  bool isValid() const;
  // The subject must be folded with the same options.
  bool matches(std::string_view foldedSubject) const;

 private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace quorvel::predicate_text
