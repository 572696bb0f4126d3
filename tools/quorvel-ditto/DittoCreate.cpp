// Archive creation: the BOM's entries, read from the source root, streamed to
// standard output; the report on standard error (see engine/ArchiveWriter.h).
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Ditto.h"
#include "engine/ArchiveSupport.h"
#include "engine/ArchiveWriter.h"

namespace quorvel::ditto {

namespace {

std::string WriteToStandardOutput(const void* bytes, std::size_t length) {
  const auto* next = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = ::write(STDOUT_FILENO, next, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string("cannot write the archive: ") + std::strerror(errno);
    next += n;
    length -= static_cast<std::size_t>(n);
  }
  return std::string();
}

void WriteToStandardError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int CreateArchive(const CreateOptions& options) {
  auto entries = ReadBillOfMaterials(options.bomPath);
  if (!entries) {
    Complain("cannot read the bill of materials \"%s\": %s", options.bomPath.c_str(),
             entries.status().message().c_str());
    return kExitFatal;
  }
  return WriteArchiveOfEntries(options.sourceRoot, *entries, options.compress, options.verbose, WriteToStandardOutput,
                               WriteToStandardError);
}

}  // namespace quorvel::ditto
