// RemoteBackupOperation: the operation of the destination commands 2 to 8
// (checkDestination, pruneDestination, testBackup, performBackup,
// verifyBackup, restoreBackup, deleteBackup), which RemoteBackupController
// names for them.
//
// The command bodies are not part of this build yet: scheduling one of these
// commands runs the frame (source and destination checks, executables) and
// then fails with the message "Command "%@" is not supported by this
// version". A number outside 2 to 8 raises "Unsupported command".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/BackupCommandOperation.h"

namespace quorvel {

class RemoteBackupOperation : public BackupCommandOperation {
 public:
  static const BackupOperationClass& Class();

  RemoteBackupOperation(std::shared_ptr<BackupController> controller, int command, const Dictionary& arguments);

  // The source is read by pruneDestination, testBackup and performBackup only.
  bool requiresSourceForCommand(int command) const override;

  std::optional<Dictionary> performCommand(int command, const Dictionary& arguments,
                                           const std::string& sourceDirectory,
                                           const std::shared_ptr<const Url>& destinationURL) override;
};

}  // namespace quorvel
