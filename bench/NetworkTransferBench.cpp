// Throughput of one file's upload and download through a network
// destination's transfer client, payload operations included but without
// encryption and digests (so that the figures compare with a plain client
// moving the same file: sftp, curl). Downloads go into nothing.
//
//   QV_BENCH_DESTINATION   destination URL, with user and password when the
//                          server wants them (skipped when unset)
//   QUORVEL_BENCH_SIZE_MIB file size (default 1024)
//
// bench/network.sh starts the servers and runs this next to their own clients.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "FileTransferController/FileTransferController.h"
#include "foundation/Url.h"

namespace {

using namespace quorvel;

struct Payload {
  Payload() {
    const char* sizeText = std::getenv("QUORVEL_BENCH_SIZE_MIB");
    size = static_cast<std::uint64_t>(sizeText ? std::atoll(sizeText) : 1024) << 20;
    const char* base = std::getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/quorvel-network-bench-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    std::mt19937_64 generator(7);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < size; written += block.size() * 8) {
      for (auto& word : block) word = generator();
      std::fwrite(block.data(), 1, std::min<std::uint64_t>(block.size() * 8, size - written), file);
    }
    std::fclose(file);
  }
  ~Payload() { unlink(path.c_str()); }
  std::string path;
  std::uint64_t size = 0;
};

std::shared_ptr<FileTransferController> Client(benchmark::State& state) {
  const char* destination = std::getenv("QV_BENCH_DESTINATION");
  if (!destination || !*destination) {
    state.SkipWithError("QV_BENCH_DESTINATION is not set");
    return nullptr;
  }
  std::optional<Url> url = Url::URLWithString(destination);
  std::shared_ptr<FileTransferController> client = url ? FileTransferController::fileTransferControllerWithURL(*url)
                                                       : nullptr;
  if (!client) {
    state.SkipWithError("no transfer client for QV_BENCH_DESTINATION");
    return nullptr;
  }
  client->setDigestComputation(false);
  client->setTimeOut(60);
  return client;
}

Payload& ThePayload() {
  static Payload payload;
  return payload;
}

void BM_Upload(benchmark::State& state) {
  std::shared_ptr<FileTransferController> client = Client(state);
  if (!client) return;
  Payload& payload = ThePayload();
  for (auto _ : state) {
    if (!client->uploadFileFromPath(payload.path, "bench.bin")) {
      state.SkipWithError("upload failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size));
}

void BM_Download(benchmark::State& state) {
  std::shared_ptr<FileTransferController> client = Client(state);
  if (!client) return;
  Payload& payload = ThePayload();
  // Into nothing, as the other clients download into /dev/null: the disk's
  // write-back would measure the machine, not the transfer.
  for (auto _ : state) {
    if (!client->downloadFileFromPathToNull("bench.bin")) {
      state.SkipWithError("download failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size));
}

BENCHMARK(BM_Upload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
