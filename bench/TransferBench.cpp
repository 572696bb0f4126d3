// Throughput of file transfers to a local destination with encryption and
// digest on, next to the same work done by the system's tools:
//   openssl enc -aes-256-cbc -md md5 -nosalt -pass pass:x < file | md5sum
//
// The 1 GiB source file is generated once in $TMPDIR (or /tmp) and removed at
// exit. QUORVEL_BENCH_SIZE_MIB chooses another size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "FileTransferController/LocalTransferController.h"
#include "foundation/Url.h"

namespace {

using namespace quorvel;

struct Workspace {
  Workspace() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-bench-XXXXXX";
    folder = mkdtemp(pattern.data()) ? pattern : "/tmp";
    const char* sizeText = std::getenv("QUORVEL_BENCH_SIZE_MIB");
    size = static_cast<std::uint64_t>(sizeText ? std::atoll(sizeText) : 1024) << 20;
    source = folder + "/source";
    destination = folder + "/destination";
    std::filesystem::create_directory(destination);
    FILE* file = std::fopen(source.c_str(), "wb");
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < size; written += block.size() * 8) {
      for (auto& word : block) word = generator();
      std::fwrite(block.data(), 1, std::min<std::uint64_t>(block.size() * 8, size - written), file);
    }
    std::fclose(file);
  }
  ~Workspace() {
    std::error_code code;
    std::filesystem::remove_all(folder, code);
  }
  std::string folder, source, destination;
  std::uint64_t size = 0;
};

Workspace& Files() {
  static Workspace workspace;
  return workspace;
}

std::shared_ptr<LocalTransferController> Controller() {
  auto controller = LocalTransferController::initWithBaseURL(*Url::URLWithScheme("file", "localhost", Files().destination));
  controller->setEncryptionPassword(std::string("x"));
  controller->setDigestComputation(true);
  return controller;
}

void BM_EncryptedUpload(benchmark::State& state) {
  auto controller = Controller();
  for (auto _ : state) {
    if (!controller->uploadFileFromPath(Files().source, "stored")) state.SkipWithError("upload failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Files().size));
}

void BM_EncryptedDownload(benchmark::State& state) {
  auto controller = Controller();
  if (!controller->uploadFileFromPath(Files().source, "stored")) state.SkipWithError("upload failed");
  std::string target = Files().folder + "/restored";
  for (auto _ : state) {
    if (!controller->downloadFileFromPath("stored", target)) state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Files().size));
  unlink(target.c_str());
}

void BM_OpensslPipeline(benchmark::State& state) {
  std::string command = "openssl enc -aes-256-cbc -md md5 -nosalt -pass pass:x < '" + Files().source +
                        "' 2>/dev/null | md5sum > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl pipeline failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Files().size));
}

void BM_OpensslDecryptPipeline(benchmark::State& state) {
  auto controller = Controller();
  if (!controller->uploadFileFromPath(Files().source, "stored")) state.SkipWithError("upload failed");
  std::string command = "openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:x < '" + Files().destination +
                        "/stored' 2>/dev/null | tee '" + Files().folder + "/restored' | md5sum > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl pipeline failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Files().size));
  unlink((Files().folder + "/restored").c_str());
}

BENCHMARK(BM_EncryptedUpload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OpensslPipeline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_EncryptedDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OpensslDecryptPipeline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
