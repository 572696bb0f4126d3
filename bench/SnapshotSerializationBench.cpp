// Storing and reading back the snapshot of 100,000 files.
//
// Two snapshots:
//   synthetic  built in memory: 1,000 directories of 100 files, with
//              nanosecond times, scattered node numbers and sizes, no
//              attributes (the size target is for such items);
//              "/storage" adds the 24-byte storage record the backup keeps
//              as every file's user info.
//   scanned    the tree of ScanBench (/tmp/quorvel-scanbench or
//              $QUORVEL_SCANBENCH_DIR), scanned once with metadata when it
//              is there; skipped otherwise.
//
// Reported per benchmark: items, compact_bytes, bytes_per_item (compact
// form), and for the phases: BM_KeyedArchiveOnly (the keyed archive with
// its record archives, before compression) and BM_CompressOnly (the
// snapshot's compression against plain level 9). The machine is shared:
// CPU time is the figure to compare.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "foundation/DataTransforms.h"
#include "foundation/KeyedArchiver.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/DirectoryScannerSerialization.h"

namespace {

using quorvel::Data;
using quorvel::DirectoryItemData;
using quorvel::DirectoryItemMap;
using quorvel::DirectoryScanner;
using quorvel::DirectoryScannerPtr;

constexpr int kDirectories = 1000;
constexpr int kFilesPerDirectory = 100;

DirectoryScannerPtr SyntheticSnapshot(bool storageRecords) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/home/user/Documents", true);
  std::mt19937_64 random(42);
  std::lognormal_distribution<double> sizes(8.0, 2.5);
  std::uniform_real_distribution<double> age(0, 3.0e7);
  std::uint32_t node = 2'000'000 + static_cast<std::uint32_t>(random() % 1'000'000);
  const double now = 1.72e9;
  auto record = [&](std::uint16_t mode, std::uint64_t size) {
    DirectoryItemData data;
    data.mode = mode;
    data.userID = 1000;
    data.groupID = 1000;
    data.nodeID = node;
    node += 1 + static_cast<std::uint32_t>(random() % 40);
    data.revision = 1 + static_cast<std::uint32_t>(random() % 3);
    data.dataSize = size;
    // Whole nanoseconds, as the file system gives them.
    double modified = std::floor(now - age(random)) + static_cast<double>(random() % 1'000'000'000) / 1e9;
    data.modificationDate = modified;
    data.creationDate = modified - std::floor(age(random) / 100);
    return data;
  };
  DirectoryItemMap top;
  for (int d = 0; d < kDirectories; ++d) {
    char name[32];
    std::snprintf(name, sizeof name, "Project %03d", d);
    top.insertOrAssign(name, record(040755, 0));
  }
  scanner->directories().emplace("", std::move(top));
  for (int d = 0; d < kDirectories; ++d) {
    char subpath[32];
    std::snprintf(subpath, sizeof subpath, "Project %03d", d);
    DirectoryItemMap items;
    items.reserve(kFilesPerDirectory);
    for (int f = 0; f < kFilesPerDirectory; ++f) {
      char name[48];
      static const char* kExtensions[] = {"txt", "pdf", "jpg", "cpp", "h", "docx"};
      std::snprintf(name, sizeof name, "document-%05d.%s", d * kFilesPerDirectory + f, kExtensions[f % 6]);
      auto data = record(0100644, static_cast<std::uint64_t>(sizes(random)));
      if (storageRecords) {
        Data storage(24, 0);
        storage[3] = 1;
        storage[4] = static_cast<std::uint8_t>(d >> 8);
        storage[5] = static_cast<std::uint8_t>(d);
        storage[7] = 1;
        for (int i = 8; i < 24; ++i) storage[i] = static_cast<std::uint8_t>(random());
        data.setUserInfo(quorvel::Value(std::move(storage)));
      }
      items.insertOrAssign(name, std::move(data));
    }
    scanner->directories().emplace(subpath, std::move(items));
  }
  DirectoryItemData root = record(040755, 0);
  scanner->setRootData(root);
  scanner->setSortPaths(true);
  return scanner;
}

DirectoryScannerPtr ScannedSnapshot() {
  static DirectoryScannerPtr scanned = []() -> DirectoryScannerPtr {
    const char* dir = std::getenv("QUORVEL_SCANBENCH_DIR");
    std::string root = dir && *dir ? dir : "/tmp/quorvel-scanbench";
    if (access((root + "/.complete").c_str(), F_OK) != 0) return nullptr;
    auto scanner = DirectoryScanner::initWithRootDirectory(root, true);
    scanner->setExcludeHiddenItems(true);
    return scanner->scanRootDirectory() ? scanner : nullptr;
  }();
  return scanned;
}

DirectoryScannerPtr Snapshot(int kind) {
  switch (kind) {
    case 0: return SyntheticSnapshot(false);
    case 1: return SyntheticSnapshot(true);
    default: return ScannedSnapshot();
  }
}

const char* KindName(int kind) { return kind == 0 ? "synthetic" : kind == 1 ? "synthetic/storage" : "scanned"; }

void Report(benchmark::State& state, const DirectoryScanner& scanner, const Data& compact) {
  double items = scanner.numberOfDirectoryItems();
  state.counters["items"] = items;
  state.counters["compact_bytes"] = static_cast<double>(compact.size());
  state.counters["bytes_per_item"] = static_cast<double>(compact.size()) / items;
  state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

void BM_Serialize(benchmark::State& state) {
  auto scanner = Snapshot(static_cast<int>(state.range(0)));
  if (!scanner) {
    state.SkipWithError("no generated tree to scan (run ScanBench once)");
    return;
  }
  Data compact;
  for (auto _ : state) {
    auto data = scanner->serializedData();
    if (!data) state.SkipWithError("serializedData failed");
    else compact = std::move(*data);
  }
  Report(state, *scanner, compact);
}
BENCHMARK(BM_Serialize)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ReadBack(benchmark::State& state) {
  auto scanner = Snapshot(static_cast<int>(state.range(0)));
  if (!scanner) {
    state.SkipWithError("no generated tree to scan (run ScanBench once)");
    return;
  }
  Data compact = *scanner->serializedData();
  for (auto _ : state) {
    auto read = DirectoryScanner::initWithSerializedData(compact);
    if (!read || read->numberOfDirectoryItems() != scanner->numberOfDirectoryItems())
      state.SkipWithError("read back failed");
    benchmark::DoNotOptimize(read);
  }
  Report(state, *scanner, compact);
}
BENCHMARK(BM_ReadBack)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(5);

// The phases of serializedData, for profiling.
void BM_KeyedArchiveOnly(benchmark::State& state) {
  auto scanner = SyntheticSnapshot(false);
  Data archive;
  for (auto _ : state) archive = *quorvel::KeyedArchiver::archivedDataWithRootObject(quorvel::Value(scanner));
  state.counters["archive_bytes_per_item"] = static_cast<double>(archive.size()) / scanner->numberOfDirectoryItems();
}
BENCHMARK(BM_KeyedArchiveOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

// Arg 0: the snapshot's compression (level 9, shorter match chains);
// arg 1: DataTransforms::compressGZip (plain level 9), for comparison.
void BM_CompressOnly(benchmark::State& state) {
  auto scanner = SyntheticSnapshot(false);
  Data archive = *quorvel::KeyedArchiver::archivedDataWithRootObject(quorvel::Value(scanner));
  std::size_t size = 0;
  for (auto _ : state) {
    auto block = state.range(0) == 0 ? quorvel::snapshotarchive::CompressArchive(archive)
                                     : quorvel::DataTransforms::compressGZip(archive);
    size = block ? block->size() : 0;
  }
  state.SetLabel(state.range(0) == 0 ? "CompressArchive" : "compressGZip");
  state.counters["bytes_per_item"] = static_cast<double>(size) / scanner->numberOfDirectoryItems();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive.size()));
}
BENCHMARK(BM_CompressOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
