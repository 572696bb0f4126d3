// The exception for programming errors (an abstract class instantiated, an
// invalid command, an unbalanced resume). Run-time failures never throw.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvel {

class InternalInconsistency : public std::logic_error {
 public:
  explicit InternalInconsistency(const std::string& reason) : std::logic_error(reason) {}
};

}  // namespace quorvel
