#include "engine/BackupInfoOperation.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/FileSizeDistribution.h"

namespace quorvel {

namespace {

std::shared_ptr<BackupCommandOperation> CreateBackupInfoOperation(const std::shared_ptr<BackupController>& controller,
                                                                  int command, const Dictionary& arguments) {
  return std::make_shared<BackupInfoOperation>(controller, command, arguments);
}

const BackupOperationClass kBackupInfoOperationClass = {"BackupInfoOperation", &BackupCommandOperation::Class(),
                                                        &CreateBackupInfoOperation};

}  // namespace

const BackupOperationClass& BackupInfoOperation::Class() { return kBackupInfoOperationClass; }

BackupInfoOperation::BackupInfoOperation(std::shared_ptr<BackupController> controller, int command,
                                         const Dictionary& arguments)
    : BackupCommandOperation(std::move(controller), command, arguments) {}

std::optional<Dictionary> BackupInfoOperation::performCommand(int command, const Dictionary& arguments,
                                                              const std::string& sourceDirectory,
                                                              const std::shared_ptr<const Url>& destinationURL) {
  auto scanner = DirectoryScanner::initWithRootDirectory(sourceDirectory, true);
  if (!scanner) {
    logErrorMessage("Failed scanning source directory \"%@\"", sourceDirectory);
    return std::nullopt;
  }
  scanner->setExclusionPredicate(controller()->exclusionPredicate());
  scanner->setExcludeDSStoreFiles(!controller()->preserveDSStoreFiles());
  scanner->setExcludeCacheDirectories(controller()->excludeCacheDirectories());
  scanner->setReportExcludedHiddenItems(arguments.get(kReportHiddenItemsArgument).asBool());
  scanner->setDelegate(this);

  std::optional<Dictionary> scanResult = scanner->scanRootDirectory();
  scanner->setDelegate(nullptr);
  if (!scanResult) {
    logErrorMessage("Failed scanning source directory \"%@\"", sourceDirectory);
    return std::nullopt;
  }
  addPathsFromDirectoryScannerResults(*scanResult);

  std::uint32_t files = 0;
  std::uint32_t directories = 0;
  std::vector<std::uint64_t> sizes;
  sizes.reserve(scanner->numberOfDirectoryItems());
  for (const auto& item : *scanner) {
    if (item->isDirectory()) {
      ++directories;
    } else {
      ++files;
      sizes.push_back(item->totalSize());
    }
  }
  FileSizeDistribution distribution = FileSizeDistributionFromSizes(sizes);

  Dictionary result;
  result.set(kSourceFilesResult, files);
  result.set(kSourceDirectoriesResult, directories);
  result.set(kSourceSizeResult, distribution.totalSize);
  result.set(kMinFileSizeResult, distribution.minimum);
  result.set(kMaxFileSizeResult, distribution.maximum);
  result.set(kMedianFileSizeResult, distribution.median);
  result.set(kTopQuartileFileSizeResult, distribution.topQuartile);
  result.set(kTopDecileFileSizeResult, distribution.topDecile);
  return result;
}

}  // namespace quorvel
