// Format: printf-style formatting of Values with the platform's "%@".
//
// Conversions: %@ (any value: strings plainly, numbers as numbers, dates as
// "2001-01-01 00:00:00 +0000", data as "<0a1b2c3d 4e>", objects through
// description(), null as "(null)"), %d %i %u %x %X %o %c %p, %f %F %e %E %g
// %G, %s and %%, with flags "-+ #0", width and precision (digits or "*"),
// length modifiers hh h l ll q j z t L, and positions ("%2$@"). Integer
// conversions without a length modifier use 32 bits as C does ("%u" of -1 is
// 4294967295, "%02X" of -1 is FFFFFFFF); l, ll and q use 64 bits. Numbers are
// written with "." as the decimal point whatever the process locale.
//
// A conversion without an argument prints nothing; an unknown conversion is
// copied as it stands. Formatting never throws for bad formats or arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

std::string Format(std::string_view format, const std::vector<Value>& arguments);

// The text "%@" gives for a value.
std::string FormatObjectDescription(const Value& value);

// Text for a terminal: control characters become visible escapes, so that a
// name from a destination cannot move the cursor, clear the screen or retitle
// the window. C0 controls and DEL become "\xNN" (tab "\t", line feed "\n",
// carriage return "\r"); the C1 controls U+0080-U+009F become "\u0080" ...
// Everything else, invalid UTF-8 included, passes unchanged.
std::string EscapeControlCharacters(std::string_view text);

// Whether `text` begins with `prefix` (every text begins with "").
inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

namespace format_detail {
template <typename T>
Value ToValue(T&& argument) {
  using Plain = std::remove_cv_t<std::remove_reference_t<T>>;
  if constexpr (std::is_same_v<Plain, Value>) {
    return argument;
  } else if constexpr (std::is_base_of_v<Object, Plain>) {
    return Value(argument.description());
  } else if constexpr (std::is_same_v<Plain, std::nullptr_t>) {
    return Value();
  } else if constexpr (std::is_pointer_v<Plain> &&
                       !std::is_same_v<std::remove_cv_t<std::remove_pointer_t<Plain>>, char>) {
    return Value(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(argument)));
  } else if constexpr (std::is_same_v<Plain, char> || std::is_same_v<Plain, signed char> ||
                       std::is_same_v<Plain, unsigned char> || std::is_same_v<Plain, short> ||
                       std::is_same_v<Plain, unsigned short>) {
    return Value(static_cast<int>(argument));
  } else {
    return Value(std::forward<T>(argument));
  }
}
}  // namespace format_detail

// Format("%@ has %llu files", name, count): each argument becomes a Value.
// A single std::vector<Value> (which is also what Array is) is taken as the
// argument list; wrap an array in Value(...) to print it.
template <typename... Arguments>
  requires(!(sizeof...(Arguments) == 1 &&
             (std::is_same_v<std::remove_cvref_t<Arguments>, std::vector<Value>> && ...)))
std::string Format(std::string_view format, Arguments&&... arguments) {
  return Format(format, std::vector<Value>{format_detail::ToValue(std::forward<Arguments>(arguments))...});
}

}  // namespace quorvel
