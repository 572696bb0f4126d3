// One line to the system log from the transfer clients (low-level causes that
// the delegate does not see: mount failures, files that could not be removed).
#pragma once

#include <string>

namespace quorvel {

void TransferLog(const std::string& line);

}  // namespace quorvel
