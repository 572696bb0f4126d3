// SystemLog: one line to the system log (syslog(3), ident "quorvel") for
// low-level causes of failures, conventionally starting with the reporting
// function's name: SystemLog("%s: lstat() on \"%s\" failed with error \"%s\"",
// __func__, path, strerror(errno)).
//
// With QUORVEL_LOG_STDERR=1 in the environment every line is also written to
// standard error. A handler installed with SetSystemLogHandler receives the
// lines instead of syslog (tests use SystemLogCapture). Safe to call from
// any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Format.h"

namespace quorvel {

// Sends one finished line.
void SystemLogLine(const std::string& line);

// Formats with Format() and sends the line.
template <typename... Arguments>
void SystemLog(std::string_view format, Arguments&&... arguments) {
  SystemLogLine(Format(format, std::forward<Arguments>(arguments)...));
}

using SystemLogHandler = std::function<void(const std::string& line)>;

// Installs a handler that takes the place of syslog (an empty one restores
// syslog) and answers the previous handler. The handler is called on the
// logging thread, one line at a time.
SystemLogHandler SetSystemLogHandler(SystemLogHandler handler);

// Collects the lines logged while it exists (any thread), then puts the
// previous handler back. Captures nest.
class SystemLogCapture {
 public:
  SystemLogCapture();
  ~SystemLogCapture();
  SystemLogCapture(const SystemLogCapture&) = delete;
  SystemLogCapture& operator=(const SystemLogCapture&) = delete;

  std::vector<std::string> lines() const;
  // True when some captured line contains the text.
  bool contains(std::string_view text) const;
  void clear();

 private:
  // Shared with the installed handler, which may still run on another
  // thread while the capture goes away.
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<Lines> lines_;
  SystemLogHandler previous_;
};

}  // namespace quorvel
