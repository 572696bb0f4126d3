// UTF-8 and UTF-16 conversions shared by the property-list, URL and
// string-table code. Text is UTF-8 in std::string everywhere else.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// Decodes the code point starting at text[pos] and advances pos past it.
// Ill-formed input (overlong forms, surrogates, values above U+10FFFF,
// truncated sequences) answers false and leaves pos unchanged.
bool DecodeUtf8(std::string_view text, std::size_t& pos, char32_t& codePoint);

// True when the whole text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// Appends the UTF-8 form of a code point; surrogates and values above
// U+10FFFF become U+FFFD.
void AppendUtf8(std::string& text, char32_t codePoint);

// The text with every ill-formed byte replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// UTF-16 code units of a UTF-8 text. A byte that is not part of a well-formed
// sequence becomes the lone surrogate U+DC00 + byte, so that file names that
// are not UTF-8 survive a round trip through Utf8FromUtf16.
std::u16string Utf16FromUtf8(std::string_view text);

// UTF-8 of UTF-16 code units. Lone surrogates U+DC80..U+DCFF become the byte
// they stand for (see Utf16FromUtf8); other lone surrogates become U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace quorvel
