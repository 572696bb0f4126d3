// Throughput of the buffer transforms, for comparison with `openssl speed -evp`.
#include <benchmark/benchmark.h>

#include <random>

#include "foundation/DataTransforms.h"

namespace quorvel {
namespace {

Data Payload(std::size_t length) {
  std::mt19937 generator(42);
  Data data(length);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
  return data;
}

void BM_MD5(benchmark::State& state) {
  Data data = Payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DataTransforms::md5Digest(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_SHA1(benchmark::State& state) {
  Data data = Payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DataTransforms::sha1Digest(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_EncryptAES256(benchmark::State& state) {
  Data data = Payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DataTransforms::encryptAES256WithPassword(data, "password"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_DecryptAES256(benchmark::State& state) {
  Data data = Payload(static_cast<std::size_t>(state.range(0)));
  Data ciphertext = *DataTransforms::encryptAES256WithPassword(data, "password");
  for (auto _ : state) benchmark::DoNotOptimize(DataTransforms::decryptAES256WithPassword(ciphertext, "password"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_CompressGZip(benchmark::State& state) {
  Data data = Payload(static_cast<std::size_t>(state.range(0)) / 2);
  data.resize(static_cast<std::size_t>(state.range(0)), 'x');  // half noise, half runs
  for (auto _ : state) benchmark::DoNotOptimize(DataTransforms::compressGZip(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// 16 KiB is the largest block `openssl speed` reports; 1 MiB is a typical file part.
BENCHMARK(BM_MD5)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_SHA1)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_EncryptAES256)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_DecryptAES256)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_CompressGZip)->Arg(1 << 20);

}  // namespace
}  // namespace quorvel
