// The tool's messages on standard error (see Ditto.h).
#include <cstdarg>
#include <cstdio>

#include "Ditto.h"

namespace quorvel::ditto {

void Complain(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("quorvel-ditto: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}

}  // namespace quorvel::ditto
