#include "foundation/PredicateText.h"

#include <locale.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <wctype.h>

#include "foundation/Predicate.h"

namespace quorvel::predicate_text {

namespace {

constexpr char32_t kInvalidByteBase = 0xDC00;

// Base letters of the precomposed Latin-1 letters U+00C0..U+00FF ('.' keeps
// the letter: it has no canonical decomposition).
constexpr char kLatin1Bases[] =
    "AAAAAA.CEEEEIIII"
    ".NOOOOO..UUUUY.."
    "aaaaaa.ceeeeiiii"
    ".nooooo..uuuuy.y";

// The same for Latin Extended-A, U+0100..U+017F.
constexpr char kLatinExtendedABases[] =
    "AaAaAaCcCcCcCcDd"
    "..EeEeEeEeEeGgGg"
    "GgGgHh..IiIiIiIi"
    "I...JjKk.LlLlLl."
    "...NnNnNn...OoOo"
    "Oo..RrRrRrSsSsSs"
    "SsTtTt..UuUuUuUu"
    "UuUuWwYyYZzZzZz.";

bool IsCombiningMark(char32_t c) {
  return (c >= 0x300 && c <= 0x36F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F);
}

// The C library's idea of lower case for everything our own tables leave
// alone; the UTF-8 locale is opened once and kept for the process.
char32_t LibraryLowerCase(char32_t c) {
  static locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
    return l;
  }();
  if (!locale || (c >= 0xD800 && c <= 0xDFFF)) return c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
}

}  // namespace

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string result;
  result.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      result.push_back(b);
      ++i;
      continue;
    }
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((b & 0xE0) == 0xC0) {
      length = 2, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, c = b & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && i + static_cast<std::size_t>(length) <= n;
    for (int k = 1; valid && k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) valid = false;
      else c = (c << 6) | (next & 0x3F);
    }
    if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
    if (valid) {
      result.push_back(c);
      i += static_cast<std::size_t>(length);
    } else {
      result.push_back(kInvalidByteBase + b);
      ++i;
    }
  }
  return result;
}

std::string EncodeUtf8(std::u32string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char32_t c : text) {
    if (c < 0x80) {
      result.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (c >> 6)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (c >> 12)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (c >> 18)));
      result.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return result;
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  if (c < 0x100) {
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c == 0xB5) return 0x3BC;  // micro sign folds to Greek mu
    return c;
  }
  if (c < 0x180) {
    if (c == 0x130) return 'i';
    if (c == 0x178) return 0xFF;
    if (c == 0x17F) return 's';
    if ((c < 0x138 && c != 0x131) || (c >= 0x14A && c < 0x178)) return (c % 2 == 0) ? c + 1 : c;
    if ((c >= 0x139 && c < 0x149) || (c >= 0x179 && c < 0x17F)) return (c % 2 == 1) ? c + 1 : c;
    return c;
  }
  if (c >= 0x370 && c < 0x400) {
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if ((c >= 0x391 && c <= 0x3A1) || (c >= 0x3A3 && c <= 0x3AB)) return c + 0x20;
    if (c == 0x3C2) return 0x3C3;  // final sigma
    return c;
  }
  if (c >= 0x400 && c < 0x430) return c < 0x410 ? c + 0x50 : c + 0x20;
  if (c == 0x1E9E) return 0xDF;  // capital sharp s
  if (c < 0x430) return LibraryLowerCase(c);
  if (c < 0x460) return c;
  return LibraryLowerCase(c);
}

char32_t StripDiacritics(char32_t c) {
  if (c < 0xC0) return c;
  if (c < 0x100) {
    char base = kLatin1Bases[c - 0xC0];
    return base == '.' ? c : static_cast<char32_t>(base);
  }
  if (c < 0x180) {
    char base = kLatinExtendedABases[c - 0x100];
    return base == '.' ? c : static_cast<char32_t>(base);
  }
  if (IsCombiningMark(c)) return 0;
  if (c >= 0x386 && c <= 0x3CE) {
    switch (c) {
      case 0x386: return 0x391;
      case 0x388: return 0x395;
      case 0x389: return 0x397;
      case 0x38A: return 0x399;
      case 0x38C: return 0x39F;
      case 0x38E: return 0x3A5;
      case 0x38F: return 0x3A9;
      case 0x390: return 0x3B9;
      case 0x3AA: return 0x399;
      case 0x3AB: return 0x3A5;
      case 0x3AC: return 0x3B1;
      case 0x3AD: return 0x3B5;
      case 0x3AE: return 0x3B7;
      case 0x3AF: return 0x3B9;
      case 0x3B0: return 0x3C5;
      case 0x3CA: return 0x3B9;
      case 0x3CB: return 0x3C5;
      case 0x3CC: return 0x3BF;
      case 0x3CD: return 0x3C5;
      case 0x3CE: return 0x3C9;
      default: return c;
    }
  }
  return c;
}

std::string FoldText(std::string_view text, std::uint32_t options) {
  std::string folded;
  FoldTextInto(text, options, folded);
  return folded;
}

void FoldTextInto(std::string_view text, std::uint32_t options, std::string& folded) {
  const bool caseless = (options & CaseInsensitivePredicateOption) != 0;
  const bool diacriticless = (options & DiacriticInsensitivePredicateOption) != 0;
  if ((!caseless && !diacriticless) || (options & NormalizedPredicateOption)) {
    folded.assign(text);
    return;
  }
  // ASCII texts (the common case) in one pass.
  folded.resize(text.size());
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) break;
    folded[i] = (caseless && c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
  }
  if (i == text.size()) return;
  std::u32string chars = DecodeUtf8(text);
  std::u32string result;
  result.reserve(chars.size());
  for (char32_t c : chars) {
    if (diacriticless) {
      c = StripDiacritics(c);
      if (c == 0) continue;
    }
    if (caseless) c = FoldCase(c);
    result.push_back(c);
  }
  folded = EncodeUtf8(result);
}

// ---- LIKE

LikePattern::LikePattern(std::string_view foldedPattern) {
  std::u32string chars = DecodeUtf8(foldedPattern);
  for (std::size_t i = 0; i < chars.size(); ++i) {
    char32_t c = chars[i];
    if (c == '\\' && i + 1 < chars.size()) {
      tokens_.push_back({Kind::Literal, chars[++i]});
    } else if (c == '*') {
      if (tokens_.empty() || tokens_.back().kind != Kind::Any) tokens_.push_back({Kind::Any, 0});
    } else if (c == '?') {
      tokens_.push_back({Kind::One, 0});
    } else {
      tokens_.push_back({Kind::Literal, c});
    }
  }
}

bool LikePattern::matches(std::string_view foldedSubject) const {
  // Greedy matching that backtracks only to the most recent "*": linear
  // space, O(pattern x subject) time, no recursion.
  std::u32string subject = DecodeUtf8(foldedSubject);
  std::size_t s = 0, p = 0;
  std::size_t starToken = SIZE_MAX, starSubject = 0;
  while (s < subject.size()) {
    if (p < tokens_.size() && tokens_[p].kind == Kind::Any) {
      starToken = p++;
      starSubject = s;
    } else if (p < tokens_.size() &&
               (tokens_[p].kind == Kind::One || tokens_[p].c == subject[s])) {
      ++p;
      ++s;
    } else if (starToken != SIZE_MAX) {
      p = starToken + 1;
      s = ++starSubject;
    } else {
      return false;
    }
  }
  while (p < tokens_.size() && tokens_[p].kind == Kind::Any) ++p;
  return p == tokens_.size();
}

// ---- MATCHES

namespace {

// ICU keeps its backtracking state on the heap; these bound what one match
// may take. A pattern that needs more (nested quantifiers on a long subject,
// "(a+)+b" and the like) stops with an error and does not match.
constexpr std::int32_t kRegexBacktrackBytes = 64 * 1024 * 1024;
// In ICU's matching steps, which are roughly milliseconds.
constexpr std::int32_t kRegexTimeSteps = 1000;

// Code points to UTF-16. The U+DCxx stand-ins for invalid bytes stay single
// (unpaired) units, so that they match only themselves.
icu::UnicodeString ToUnicodeString(std::u32string_view chars) {
  icu::UnicodeString text(static_cast<std::int32_t>(chars.size()), UChar32{0}, 0);  // empty, with room
  for (char32_t c : chars) text.append(static_cast<UChar32>(c));
  return text;
}

}  // namespace

struct RegexPattern::Compiled {
  std::unique_ptr<icu::RegexPattern> regex;
};

RegexPattern::RegexPattern(std::string_view pattern, std::uint32_t options) {
  const bool caseless = (options & CaseInsensitivePredicateOption) && !(options & NormalizedPredicateOption);
  const bool diacriticless =
      (options & DiacriticInsensitivePredicateOption) && !(options & NormalizedPredicateOption);
  std::u32string chars = DecodeUtf8(pattern);
  std::u32string folded;
  folded.reserve(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    char32_t c = chars[i];
    if (c == '\\' && i + 1 < chars.size()) {
      // Escapes keep their letter: \d and \D, \b and \B differ by case.
      folded.push_back(c);
      folded.push_back(chars[++i]);
      continue;
    }
    if (diacriticless) {
      c = StripDiacritics(c);
      if (c == 0) continue;
    }
    if (caseless) c = FoldCase(c);
    folded.push_back(c);
  }
  std::uint32_t flags = caseless ? UREGEX_CASE_INSENSITIVE : 0;
  UParseError where;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> regex(
      icu::RegexPattern::compile(ToUnicodeString(folded), flags, where, status));
  if (U_SUCCESS(status) && regex) compiled_ = std::make_unique<Compiled>(Compiled{std::move(regex)});
}

RegexPattern::~RegexPattern() = default;

bool RegexPattern::isValid() const { return compiled_ != nullptr; }

bool RegexPattern::matches(std::string_view foldedSubject) const {
  if (!compiled_) return false;
  // A compiled pattern may be shared by threads; a matcher may not, so every
  // match has its own.
  const icu::UnicodeString subject = ToUnicodeString(DecodeUtf8(foldedSubject));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->regex->matcher(subject, status));
  if (U_FAILURE(status) || !matcher) return false;
  matcher->setStackLimit(kRegexBacktrackBytes, status);
  matcher->setTimeLimit(kRegexTimeSteps, status);
  if (U_FAILURE(status)) return false;
  const bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

}  // namespace quorvel::predicate_text
