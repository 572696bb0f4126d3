// Keyed archives of 100,000 small dictionaries, the shape of a large result
// history or settings file: writing (graph to binary property list) and
// reading (back to Values).
//
// Reported per iteration; counters:
//   bytes              size of the archive
//   dictionaries_per_s throughput over the 100,000 dictionaries
#include <benchmark/benchmark.h>

#include <string>

#include "foundation/KeyedArchiver.h"
#include "foundation/KeyedUnarchiver.h"

namespace {

using namespace quorvel;

constexpr int kDictionaries = 100000;

const Value& Graph() {
  static const Value graph = [] {
    Array entries;
    entries.reserve(kDictionaries);
    for (int i = 0; i < kDictionaries; ++i) {
      Dictionary entry;
      entry.set("name", Value("file-" + std::to_string(i) + ".txt"));
      entry.set("size", Value(static_cast<long long>(i) * 4096 + 17));
      entry.set("modified", Value(Date(300000000.0 + i)));
      entry.set("directory", Value(i % 10 == 0));
      entries.emplace_back(std::move(entry));
    }
    return Value(std::move(entries));
  }();
  return graph;
}

void BM_EncodeKeyedArchive(benchmark::State& state) {
  const Value& graph = Graph();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto data = KeyedArchiver::archivedDataWithRootObject(graph);
    if (!data) {
      state.SkipWithError("archiving failed");
      return;
    }
    bytes = data->size();
    benchmark::DoNotOptimize(data->data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["dictionaries_per_s"] =
      benchmark::Counter(static_cast<double>(kDictionaries), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EncodeKeyedArchive)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DecodeKeyedArchive(benchmark::State& state) {
  auto data = KeyedArchiver::archivedDataWithRootObject(Graph());
  if (!data) {
    state.SkipWithError("archiving failed");
    return;
  }
  for (auto _ : state) {
    std::string error;
    auto value = KeyedUnarchiver::unarchiveObjectWithData(*data, &error);
    if (!value || value->asArray().size() != static_cast<std::size_t>(kDictionaries)) {
      state.SkipWithError(("unarchiving failed: " + error).c_str());
      return;
    }
    benchmark::DoNotOptimize(value->asArray().data());
  }
  state.counters["bytes"] = static_cast<double>(data->size());
  state.counters["dictionaries_per_s"] =
      benchmark::Counter(static_cast<double>(kDictionaries), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DecodeKeyedArchive)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
