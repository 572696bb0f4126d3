#include "FileTransferController/TransferLog.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvel {

void TransferLog(const std::string& line) {
  syslog(LOG_NOTICE, "%s", line.c_str());
  const char* toStderr = std::getenv("QUORVEL_LOG_STDERR");
  if (toStderr && std::strcmp(toStderr, "1") == 0) std::fprintf(stderr, "quorvel: %s\n", line.c_str());
}

}  // namespace quorvel
