// Where the command line takes a backup's encryption password from. A
// password never appears on the command line itself (other users can read a
// process's arguments): it comes from an environment variable, from the first
// line of a file, or from the terminal without echo.
#pragma once

#include <optional>
#include <string>

#include "foundation/Value.h"

namespace quorvel {

struct PasswordOptions {
  // --password-env: the name of an environment variable.
  std::string environmentVariable;
  // --password-file: a file whose first line (without the line end) is the password.
  std::string file;
  // The option that names the variable, for messages.
  std::string environmentOption = "--password-env";

  bool given() const { return !environmentVariable.empty() || !file.empty(); }
};

// The password named by the options. Nothing without options; nothing with
// a message in *error when the variable is unset or empty, or the file
// cannot be read or its first line is empty.
std::optional<std::string> PasswordFromOptions(const PasswordOptions& options, std::string* error);

// True when a destination root listing (name -> attributes) holds encrypted
// revision data: a name beginning "Revision_" and ending ".aes".
bool ListingHoldsEncryptedRevision(const Dictionary& listing);
// True when a listing holds revision data ("Revision_" names with ".data"
// or ".plist.gz") and none of it is encrypted.
bool ListingHoldsOnlyPlainRevisions(const Dictionary& listing);

enum class PromptOutcome { Entered, Interrupted, Failed };

// Asks on the terminal of standard input: writes the prompt to standard
// error, turns echo off (termios) while the line is typed, and restores the
// terminal afterwards, also when SIGINT arrives meanwhile (Interrupted).
// Failed when standard input is not a terminal or cannot be read.
PromptOutcome PromptForPassword(const std::string& prompt, std::string* password);

}  // namespace quorvel
