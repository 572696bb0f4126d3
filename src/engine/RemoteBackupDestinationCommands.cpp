// The destination commands that inspect or clean a destination:
// checkDestination (2), pruneDestination (3), testBackup (4), verifyBackup
// (6) and deleteBackup (8).
#include "engine/RemoteBackupOperation.h"

namespace quorvel {

namespace {

bool NotSupported(RemoteBackupOperation& operation, int command) {
  operation.logErrorMessage("Command \"%@\" is not supported by this version",
                            *BackupController::nameForCommand(command));
  return false;
}

}  // namespace

std::optional<Dictionary> RemoteBackupOperation::checkDestination() {
  NotSupported(*this, BackupCommandCheckDestination);
  return std::nullopt;
}

bool RemoteBackupOperation::pruneDestination() { return NotSupported(*this, BackupCommandPruneDestination); }

bool RemoteBackupOperation::testBackup() { return NotSupported(*this, BackupCommandTestBackup); }

bool RemoteBackupOperation::verifyBackup() { return NotSupported(*this, BackupCommandVerifyBackup); }

bool RemoteBackupOperation::deleteBackup() { return NotSupported(*this, BackupCommandDeleteBackup); }

}  // namespace quorvel
