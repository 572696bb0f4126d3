// The performBackup command (5) of RemoteBackupOperation.
//
// This build does not offer it: the command fails with the message below.
// The command's body replaces this definition; the dispatch in
// RemoteBackupOperation::performCommand already calls it.
#include "engine/RemoteBackupOperation.h"

namespace quorvel {

std::optional<Dictionary> RemoteBackupOperation::performBackup() {
  logErrorMessage("Command \"%@\" is not supported by this version",
                  *BackupController::nameForCommand(BackupCommandPerformBackup));
  return std::nullopt;
}

}  // namespace quorvel
