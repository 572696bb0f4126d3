#include "app/cli/CheckSourceCommand.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/cli/InterruptWatch.h"
#include "app/cli/JsonValue.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "engine/BackupInfoOperation.h"
#include "foundation/RunLoop.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/PathOrder.h"
#include "foundation/Format.h"

namespace quorvel {

void SetExecutableArguments(Dictionary& arguments, const std::string& pre, const std::string& successPost,
                            const std::string& failurePost) {
  if (!pre.empty()) arguments.set(kPreExecutableArgument, pre);
  if (!successPost.empty()) arguments.set(kSuccessPostExecutableArgument, successPost);
  if (!failurePost.empty()) arguments.set(kFailurePostExecutableArgument, failurePost);
}

namespace {

// The check's delegate only needs to see the command end.
using CheckSourceDelegate = CommandEndDelegate;

void PrintSize(const char* label, std::uint64_t bytes) { PrintSizeLine(label, bytes, 24); }

void PrintPaths(const char* label, const Value& paths) {
  const Array& list = paths.asArray();
  std::printf("%s (%zu)\n", label, list.size());
  for (const Value& path : list) std::printf("  %s\n", EscapeControlCharacters(path.asString()).c_str());
}

void PrintReport(const std::string& source, const Dictionary& results) {
  std::uint64_t files = results.get(kSourceFilesResult).asUInt();
  std::printf("%-24s %s\n", "Source:", source.c_str());
  std::printf("%-24s %llu\n", "Files:", static_cast<unsigned long long>(files));
  std::printf("%-24s %llu\n", "Directories:",
              static_cast<unsigned long long>(results.get(kSourceDirectoriesResult).asUInt()));
  PrintSize("Total size:", results.get(kSourceSizeResult).asUInt());
  if (files == 0) {
    std::printf("%-24s %s\n", "Smallest file:", "none");
  } else {
    PrintSize("Smallest file:", results.get(kMinFileSizeResult).asUInt());
  }
  PrintSize("Median file size:", results.get(kMedianFileSizeResult).asUInt());
  PrintSize("Top quartile file size:", results.get(kTopQuartileFileSizeResult).asUInt());
  PrintSize("Top decile file size:", results.get(kTopDecileFileSizeResult).asUInt());
  PrintSize("Largest file:", results.get(kMaxFileSizeResult).asUInt());
  PrintPaths("Excluded paths:", results.get(kExcludedPathsResult));
  PrintPaths("Skipped paths:", results.get(kSkippedPathsResult));
}

}  // namespace

std::string HumanReadableSize(unsigned long long bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

int RunCheckSource(const CheckSourceOptions& options) {
  std::shared_ptr<RemoteBackupController> controller = RemoteBackupController::create();
  std::error_code error;
  std::string source = std::filesystem::absolute(options.sourceDirectory, error).string();
  if (error) source = options.sourceDirectory;
  controller->setSourceDirectoryPath(source);
  controller->setExclusionPredicate(DirectoryScanner::exclusionPredicateWithPaths(options.excludedSubpaths, {}));
  controller->setExcludeCacheDirectories(options.excludeCacheDirectories);
  CheckSourceDelegate delegate;
  controller->setDelegate(&delegate);

  Dictionary arguments;
  arguments.set(kReportHiddenItemsArgument, options.reportHidden);
  SetExecutableArguments(arguments, options.preExecutable, options.successPostExecutable,
                         options.failurePostExecutable);

  bool interrupted = RunCommandUntilFinished(*controller, BackupCommandCheckSource, arguments,
                                             [&] { return delegate.finished; });
  controller->setDelegate(nullptr);

  if (interrupted) {
    std::fputs("quorvel: check-source interrupted\n", stderr);
    return 130;
  }
  if (!delegate.results) {
    std::fputs("quorvel: check-source did not run\n", stderr);
    return 1;
  }
  const Dictionary& results = *delegate.results;
  bool success = results.get(kSuccessResult).asBool();
  if (options.json) {
    std::string text = JsonFromValue(Value(results)).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
  } else if (success) {
    PrintReport(StandardizePath(source), results);
  }
  for (const Value& message : results.get(kErrorMessagesResult).asArray()) {
    std::fprintf(stderr, "%s\n", EscapeControlCharacters(message.asString()).c_str());
  }
  std::fflush(stdout);
  return success ? 0 : 1;
}

void PrintSizeLine(const char* label, unsigned long long bytes, int width) {
  if (bytes < 1024) {
    std::printf("%-*s %s\n", width, label, HumanReadableSize(bytes).c_str());
  } else {
    std::printf("%-*s %s (%llu bytes)\n", width, label, HumanReadableSize(bytes).c_str(), bytes);
  }
}

}  // namespace quorvel
