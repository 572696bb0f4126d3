// quorvel-mkbom: writes a bill of materials (BOM) from a file list.
//
//   quorvel-mkbom -s -i LISTFILE BOMFILE
//
// LISTFILE is UTF-8 text: the line "." then one "./relative/path" line per
// entry, every line ended by a line feed. "-s" asks for a simple BOM (paths
// only), the only kind this tool writes.
//
// BOM file format (text, every line ended by a line feed):
//
//   QUORVEL-BOM 1          format name and version
//   COUNT                  number of entries that follow, decimal
//   .                      the root
//   ./relative/path        the entries, in the list's order
//
// The BOM is written to a temporary file next to BOMFILE and renamed over it,
// so a reader never sees half of one.
//
// Exit status: 0 on success; 1 with a message on standard error when the
// list cannot be read or is malformed, or the BOM cannot be written; 2 for
// wrong arguments.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/ArchiveSupport.h"
#include "foundation/AtomicFile.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: quorvel-mkbom -s -i LISTFILE BOMFILE\n");
  return 2;
}

bool ReadWhole(const char* path, std::string* text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* listPath = nullptr;
  const char* bomPath = nullptr;
  bool simple = false;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "-s") {
      simple = true;
    } else if (argument == "-i") {
      if (++i >= argc || listPath) return Usage();
      listPath = argv[i];
    } else if (!argument.empty() && argument[0] == '-') {
      return Usage();
    } else if (!bomPath) {
      bomPath = argv[i];
    } else {
      return Usage();
    }
  }
  if (!simple || !listPath || !bomPath) return Usage();

  std::string list;
  if (!ReadWhole(listPath, &list)) {
    std::fprintf(stderr, "quorvel-mkbom: cannot read file list \"%s\": %s\n", listPath, std::strerror(errno));
    return 1;
  }
  auto entries = quorvel::ParseBomFileList(list);
  if (!entries) {
    std::fprintf(stderr, "quorvel-mkbom: \"%s\": %s\n", listPath, entries.status().message().c_str());
    return 1;
  }
  quorvel::Status written = quorvel::WriteFileAtomically(bomPath, quorvel::BillOfMaterialsText(*entries), 0644, true);
  if (!written.ok()) {
    std::fprintf(stderr, "quorvel-mkbom: %s\n", written.message().c_str());
    return 1;
  }
  return 0;
}
