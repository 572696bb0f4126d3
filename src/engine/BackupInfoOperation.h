// BackupInfoOperation: command 1, "checkSource". Scans the source directory
// with the controller's exclusion settings and reports how many files and
// directories a backup would take, their total size and points of the
// file-size distribution. Needs no destination.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/BackupCommandOperation.h"

namespace quorvel {

// Result keys of the source check.
inline constexpr const char* kReportHiddenItemsArgument = "reportHiddenItems";
inline constexpr const char* kSourceFilesResult = "sourceFiles";
inline constexpr const char* kSourceDirectoriesResult = "sourceDirectories";
inline constexpr const char* kSourceSizeResult = "sourceSize";
inline constexpr const char* kMinFileSizeResult = "minFileSize";
inline constexpr const char* kMaxFileSizeResult = "maxFileSize";
inline constexpr const char* kMedianFileSizeResult = "medianFileSize";
inline constexpr const char* kTopQuartileFileSizeResult = "topQuartileFileSize";
inline constexpr const char* kTopDecileFileSizeResult = "topDecileFileSize";

class BackupInfoOperation : public BackupCommandOperation {
 public:
  static const BackupOperationClass& Class();

  BackupInfoOperation(std::shared_ptr<BackupController> controller, int command, const Dictionary& arguments);

  // A null destination is fine for every command.
  bool requiresDestinationForCommand(int command) const override { return false; }

  // "sourceFiles" and "sourceDirectories" (unsigned 32-bit: items that are
  // not directories, and directories below the root), "sourceSize" and the
  // unsigned 64-bit size points "minFileSize" (all bits set without files),
  // "maxFileSize", "medianFileSize", "topQuartileFileSize",
  // "topDecileFileSize", all over the items' total sizes (data, resource
  // fork and extended attributes). Nothing when the scan fails or is
  // cancelled ("Failed scanning source directory "%@"").
  std::optional<Dictionary> performCommand(int command, const Dictionary& arguments,
                                           const std::string& sourceDirectory,
                                           const std::shared_ptr<const Url>& destinationURL) override;
};

}  // namespace quorvel
