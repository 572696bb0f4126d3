// `quorvel check-source`: runs the source check on a controller through the
// main run loop and prints what it found.
#pragma once

#include <string>
#include <vector>

#include "foundation/Value.h"

namespace quorvel {

struct CheckSourceOptions {
  std::string sourceDirectory;
  std::vector<std::string> excludedSubpaths;
  bool reportHidden = false;
  // Leave out directories tagged with a CACHEDIR.TAG file.
  bool excludeCacheDirectories = false;
  std::string preExecutable;
  std::string successPostExecutable;
  std::string failurePostExecutable;
  bool json = false;
};

// Runs the command on the calling thread, which must be the main thread.
// Exit status: 0 success, 1 failure (messages on standard error), 130 when
// interrupted by SIGINT (the command is cancelled and its frame allowed to
// finish first).
int RunCheckSource(const CheckSourceOptions& options);

// "512 bytes", "1.5 KB", "3.2 MB", "1.0 GB"... (binary multiples).
std::string HumanReadableSize(unsigned long long bytes);

// Prints "LABEL  1.5 KB (1536 bytes)" with the label padded to `width`;
// sizes below 1 KB only as bytes.
void PrintSizeLine(const char* label, unsigned long long bytes, int width);

// The pre- and post-executable command arguments; empty paths are left out.
void SetExecutableArguments(Dictionary& arguments, const std::string& pre, const std::string& successPost,
                            const std::string& failurePost);

}  // namespace quorvel
