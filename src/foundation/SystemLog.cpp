#include "foundation/SystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "foundation/Mutex.h"

namespace quorvel {

namespace {

// The installed handler; called outside the lock.
struct InstalledHandler {
  Mutex mutex;
  SystemLogHandler handler GUARDED_BY(mutex);
};

InstalledHandler& Installed() {
  static InstalledHandler installed;
  return installed;
}

void WriteToStandardError(const std::string& line) {
  std::string text = "quorvel[" + std::to_string(getpid()) + "]: " + line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void SystemLogLine(const std::string& line) {
  const char* toStandardError = std::getenv("QUORVEL_LOG_STDERR");
  if (toStandardError && std::strcmp(toStandardError, "1") == 0) WriteToStandardError(line);

  SystemLogHandler handler;
  {
    InstalledHandler& installed = Installed();
    MutexLock lock(installed.mutex);
    handler = installed.handler;
  }
  if (handler) {
    handler(line);
    return;
  }
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("quorvel", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", line.c_str());
}

SystemLogHandler SetSystemLogHandler(SystemLogHandler handler) {
  InstalledHandler& installed = Installed();
  MutexLock lock(installed.mutex);
  SystemLogHandler previous = std::move(installed.handler);
  installed.handler = std::move(handler);
  return previous;
}

SystemLogCapture::SystemLogCapture() : lines_(std::make_shared<Lines>()) {
  previous_ = SetSystemLogHandler([lines = lines_](const std::string& line) {
    std::lock_guard<std::mutex> lock(lines->mutex);
    lines->lines.push_back(line);
  });
}

SystemLogCapture::~SystemLogCapture() { SetSystemLogHandler(std::move(previous_)); }

std::vector<std::string> SystemLogCapture::lines() const {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  return lines_->lines;
}

bool SystemLogCapture::contains(std::string_view text) const {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  for (const auto& line : lines_->lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void SystemLogCapture::clear() {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  lines_->lines.clear();
}

}  // namespace quorvel
