#include "engine/RemoteBackupOperation.h"

#include <utility>

#include "foundation/InternalInconsistency.h"

namespace quorvel {

namespace {

std::shared_ptr<BackupCommandOperation> CreateRemoteBackupOperation(
    const std::shared_ptr<BackupController>& controller, int command, const Dictionary& arguments) {
  return std::make_shared<RemoteBackupOperation>(controller, command, arguments);
}

const BackupOperationClass kRemoteBackupOperationClass = {"RemoteBackupOperation", &BackupCommandOperation::Class(),
                                                          &CreateRemoteBackupOperation};

}  // namespace

const BackupOperationClass& RemoteBackupOperation::Class() { return kRemoteBackupOperationClass; }

RemoteBackupOperation::RemoteBackupOperation(std::shared_ptr<BackupController> controller, int command,
                                             const Dictionary& arguments)
    : BackupCommandOperation(std::move(controller), command, arguments) {}

RemoteBackupOperation::~RemoteBackupOperation() = default;

bool RemoteBackupOperation::requiresSourceForCommand(int command) const {
  switch (command) {
    case BackupCommandCheckDestination:
    case BackupCommandVerifyBackup:
    case BackupCommandRestoreBackup:
    case BackupCommandDeleteBackup:
      return false;
    default:
      return true;
  }
}

std::optional<Dictionary> RemoteBackupOperation::performCommand(int command, const Dictionary& arguments,
                                                                const std::string& sourceDirectory,
                                                                const std::shared_ptr<const Url>& destinationURL) {
  if (command < BackupCommandCheckDestination || command > BackupCommandDeleteBackup) {
    throw InternalInconsistency("Unsupported command");
  }
  logErrorMessage("Command \"%@\" is not supported by this version", *BackupController::nameForCommand(command));
  return std::nullopt;
}

}  // namespace quorvel
