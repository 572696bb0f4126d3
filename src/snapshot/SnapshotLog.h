// System-log access for the snapshot code.
#pragma once

#if __has_include("foundation/SystemLog.h")
#include "foundation/SystemLog.h"
#else
#include <syslog.h>

#include "foundation/Format.h"

namespace quorvel {
template <typename... Arguments>
void SystemLog(std::string_view format, Arguments&&... arguments) {
  std::string line = Format(format, std::forward<Arguments>(arguments)...);
  syslog(LOG_ERR, "%s", line.c_str());
}
}  // namespace quorvel
#endif
