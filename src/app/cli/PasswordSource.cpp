#include "app/cli/PasswordSource.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quorvel {

namespace {

volatile sig_atomic_t gPromptInterrupted = 0;

extern "C" void NotePromptInterrupt(int) { gPromptInterrupted = 1; }

void StripLineEnd(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

}  // namespace

std::optional<std::string> PasswordFromOptions(const PasswordOptions& options, std::string* error) {
  if (!options.environmentVariable.empty()) {
    const char* value = std::getenv(options.environmentVariable.c_str());
    if (value == nullptr) {
      if (error) {
        *error = "the environment variable " + options.environmentVariable + " (" + options.environmentOption +
                 ") is not set";
      }
      return std::nullopt;
    }
    if (*value == '\0') {
      if (error) {
        *error = "the environment variable " + options.environmentVariable + " (" + options.environmentOption +
                 ") is empty";
      }
      return std::nullopt;
    }
    std::string password(value);
    // Read once, then gone: hooks, the archive tools and every other child
    // inherit this environment.
    ::unsetenv(options.environmentVariable.c_str());
    return password;
  }
  if (!options.file.empty()) {
    std::ifstream stream(options.file, std::ios::binary);
    if (!stream) {
      if (error) {
        *error = "cannot read the password file \"" + options.file + "\" (" + std::strerror(errno) + ")";
      }
      return std::nullopt;
    }
    std::string line;
    std::getline(stream, line);
    StripLineEnd(line);
    if (line.empty()) {
      if (error) *error = "the first line of the password file \"" + options.file + "\" is empty";
      return std::nullopt;
    }
    return line;
  }
  if (error) error->clear();
  return std::nullopt;
}

bool ListingHoldsEncryptedRevision(const Dictionary& listing) {
  for (const auto& [name, attributes] : listing) {
    if (name.starts_with("Revision_") && name.ends_with(".aes")) return true;
  }
  return false;
}

bool ListingHoldsOnlyPlainRevisions(const Dictionary& listing) {
  bool plain = false;
  for (const auto& [name, attributes] : listing) {
    if (!name.starts_with("Revision_")) continue;
    if (name.ends_with(".aes")) return false;
    if (name.find(".data") != std::string::npos || name.find(".plist.gz") != std::string::npos) plain = true;
  }
  return plain;
}

PromptOutcome PromptForPassword(const std::string& prompt, std::string* password) {
  if (!::isatty(STDIN_FILENO)) return PromptOutcome::Failed;
  termios saved{};
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) return PromptOutcome::Failed;

  // SIGINT must not end the process while echo is off: note it, and let the
  // read return (no SA_RESTART).
  gPromptInterrupted = 0;
  struct sigaction action {}, previous {};
  action.sa_handler = NotePromptInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previous);

  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ICANON | ECHONL;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);

  std::string line;
  PromptOutcome outcome = PromptOutcome::Entered;
  for (;;) {
    char byte;
    ssize_t count = ::read(STDIN_FILENO, &byte, 1);
    if (gPromptInterrupted) {
      outcome = PromptOutcome::Interrupted;
      break;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      outcome = line.empty() ? PromptOutcome::Failed : PromptOutcome::Entered;
      break;
    }
    if (byte == '\n') break;
    line.push_back(byte);
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  ::sigaction(SIGINT, &previous, nullptr);
  if (outcome == PromptOutcome::Interrupted) std::fputs("\n", stderr);
  StripLineEnd(line);
  if (outcome == PromptOutcome::Entered) *password = std::move(line);
  return outcome;
}

}  // namespace quorvel
