#include <malloc.h>
#include <openssl/crypto.h>

#include "app/cli/CommandLine.h"

int main(int argc, char** argv) {
  // Buffers of 1 MiB and more (archives, parts) come from the kernel and go
  // back to it when freed. Left alone, the allocator raises this threshold
  // after the first such buffer is freed and then keeps every later one in
  // its heaps for the rest of the run: a restore of the benchmark data held
  // about 35 MiB more, a first backup 40 MiB more, for no gain in speed
  // (bench/README.md).
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  // OpenSSL frees its locks and tables at exit by default, while a worker
  // thread of an operation queue that has not ended yet may still hold one:
  // the process ends without that clean-up.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  return quorvel::RunCommandLine(argc, argv);
}
