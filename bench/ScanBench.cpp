// Scanning and comparing a large tree: 100,000 files in 5,000 directories.
//
// The tree is generated once under /tmp/quorvel-scanbench (or
// $QUORVEL_SCANBENCH_DIR) and reused by later runs: mass deletion on this
// machine's disk slows file creation for a long while, so it is never
// removed here. One file in a hundred carries a user attribute, one in a
// thousand an ACL.
//
// Reported:
//   BM_FindPrintf            find DIR -printf '%s %T@ %m %u\n' >/dev/null (warm)
//   BM_ScanWithMetadata      a plain scan with metadata; ratio_to_find
//   BM_RescanAndCompare      a comparing scan of the unchanged tree
//   BM_CompareSnapshots      the comparison of two held snapshots alone
//   BM_ResidentMemory        peak resident memory per item over a scan, a
//                            rescan and a comparison (bytes_per_item counts
//                            from the resident size before the first scan)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "snapshot/DirectoryScanner.h"

namespace {

using quorvel::DirectoryScanner;
using Clock = std::chrono::steady_clock;

constexpr int kTopDirectories = 50;
constexpr int kSubdirectories = 99;  // per top directory: 50 * (1 + 99) = 5,000 directories
constexpr int kFilesPerDirectory = 20;  // 100,000 files
constexpr int kExpectedItems = kTopDirectories * (1 + kSubdirectories) * (1 + kFilesPerDirectory);

std::string TreeRoot() {
  const char* dir = std::getenv("QUORVEL_SCANBENCH_DIR");
  return dir && *dir ? dir : "/tmp/quorvel-scanbench";
}

void WriteFiles(const std::string& dir, int& counter) {
  static const std::string content(4096, 'q');
  for (int f = 0; f < kFilesPerDirectory; ++f, ++counter) {
    char name[32];
    std::snprintf(name, sizeof name, "/file_%04d.dat", f);
    std::string path = dir + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror(path.c_str());
      std::exit(1);
    }
    std::size_t size = static_cast<std::size_t>(counter * 37 % 4096);
    if (write(fd, content.data(), size) != static_cast<ssize_t>(size)) std::exit(1);
    if (counter % 100 == 0) fsetxattr(fd, "user.bench.note", "annotated", 9, 0);
    close(fd);
    if (counter % 1000 == 0) std::system(("setfacl -m u:nobody:r '" + path + "' 2>/dev/null").c_str());
  }
}

// Generates the tree unless a finished one is there.
const std::string& Tree() {
  static const std::string root = [] {
    std::string root = TreeRoot();
    std::string marker = root + "/.complete";
    if (access(marker.c_str(), F_OK) != 0) {
      std::fprintf(stderr, "generating %s (100,000 files in 5,000 directories)...\n", root.c_str());
      std::system(("rm -rf '" + root + "'").c_str());
      mkdir(root.c_str(), 0755);
      int counter = 0;
      for (int t = 0; t < kTopDirectories; ++t) {
        char top[64];
        std::snprintf(top, sizeof top, "/d%02d", t);
        std::string topPath = root + top;
        mkdir(topPath.c_str(), 0755);
        WriteFiles(topPath, counter);
        for (int s = 0; s < kSubdirectories; ++s) {
          char sub[64];
          std::snprintf(sub, sizeof sub, "/s%02d", s);
          std::string subPath = topPath + sub;
          mkdir(subPath.c_str(), 0755);
          WriteFiles(subPath, counter);
        }
      }
      // The marker is a hidden name the scanner keeps: exclude it by flag.
      std::ofstream(marker) << "done\n";
    }
    // Warm the caches once.
    std::system(("find '" + root + "' -printf '%s %T@ %m %u\\n' >/dev/null").c_str());
    return root;
  }();
  return root;
}

std::shared_ptr<DirectoryScanner> NewScanner() {
  auto scanner = DirectoryScanner::initWithRootDirectory(Tree(), true);
  scanner->setExcludeHiddenItems(true);
  return scanner;
}

double FindSeconds() {
  std::string command = "find '" + Tree() + "' -printf '%s %T@ %m %u\\n' >/dev/null";
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double ScanSeconds(std::size_t* items) {
  auto scanner = NewScanner();
  auto start = Clock::now();
  auto result = scanner->scanRootDirectory();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (items) *items = scanner->numberOfDirectoryItems();
  return result ? seconds : -1;
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_ResidentMemory(benchmark::State& state) {
  Tree();
  for (auto _ : state) {
    long before = ResidentKiB();
    long peakBefore = PeakResidentKiB();
    auto scanner = NewScanner();
    scanner->scanRootDirectory();
    long afterScan = ResidentKiB();
    auto result = scanner->scanAndCompareRootDirectory(quorvel::kDirectoryScannerBumpRevision |
                                                       quorvel::kDirectoryScannerDetectMovedItems);
    long peak = PeakResidentKiB();
    double items = scanner->numberOfDirectoryItems();
    state.counters["items"] = items;
    state.counters["resident_before_KiB"] = static_cast<double>(before);
    state.counters["snapshot_bytes_per_item"] = (afterScan - before) * 1024.0 / items;
    // The earlier benchmarks of this process may already have set the peak
    // higher; the figure is then an upper bound.
    state.counters["peak_bytes_per_item"] = (std::max(peak, peakBefore) - before) * 1024.0 / items;
    state.counters["peak_total_bytes_per_item"] = std::max(peak, peakBefore) * 1024.0 / items;
    benchmark::DoNotOptimize(result);
  }
}
// Registered first, so that the process's peak comes from this measurement.
BENCHMARK(BM_ResidentMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_FindPrintf(benchmark::State& state) {
  Tree();
  for (auto _ : state) state.SetIterationTime(FindSeconds());
}
BENCHMARK(BM_FindPrintf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScanWithMetadata(benchmark::State& state) {
  Tree();
  double scanTotal = 0, findTotal = 0;
  std::size_t items = 0;
  for (auto _ : state) {
    double scan = ScanSeconds(&items);
    state.SetIterationTime(scan);
    state.PauseTiming();
    scanTotal += scan;
    findTotal += FindSeconds();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(items);
  state.counters["ratio_to_find"] = scanTotal / findTotal;
  if (items != kExpectedItems) state.SkipWithError("unexpected item count");
}
BENCHMARK(BM_ScanWithMetadata)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RescanAndCompare(benchmark::State& state) {
  auto scanner = NewScanner();
  if (!scanner->scanRootDirectory()) state.SkipWithError("scan failed");
  for (auto _ : state) {
    auto result = scanner->scanAndCompareRootDirectory(quorvel::kDirectoryScannerBumpRevision |
                                                       quorvel::kDirectoryScannerDetectMovedItems);
    if (!result || !result->empty()) state.SkipWithError("an unchanged tree compared unequal");
  }
}
BENCHMARK(BM_RescanAndCompare)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_CompareSnapshots(benchmark::State& state) {
  auto older = NewScanner();
  auto newer = NewScanner();
  if (!older->scanRootDirectory() || !newer->scanRootDirectory()) state.SkipWithError("scan failed");
  quorvel::SnapshotComparisonSettings settings;
  settings.compareMetadata = true;
  settings.detectMovedItems = true;
  settings.reportAllRemovedItems = true;
  settings.revision = 2;  // stamping and user-info carry-over, as a comparing scan does
  settings.sortPaths = true;
  for (auto _ : state) {
    auto result = quorvel::CompareDirectoryMaps(newer->directories(), older->directories(), settings);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_CompareSnapshots)->Unit(benchmark::kMillisecond)->Iterations(20);


}  // namespace
