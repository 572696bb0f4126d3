// The restoreBackup command (7) of RemoteBackupOperation.
//
// This build does not offer it: the command fails with the message below.
// The command's body replaces this definition; the dispatch in
// RemoteBackupOperation::performCommand already calls it with the arguments
// "restorePaths", "destinationPath" and "eraseDestination".
#include "engine/RemoteBackupOperation.h"

namespace quorvel {

bool RemoteBackupOperation::restoreBackup(const std::optional<std::vector<std::string>>& restorePaths,
                                          const std::string& destination, bool eraseDestination) {
  logErrorMessage("Command \"%@\" is not supported by this version",
                  *BackupController::nameForCommand(BackupCommandRestoreBackup));
  return false;
}

}  // namespace quorvel
