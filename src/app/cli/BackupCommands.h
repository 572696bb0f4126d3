// The command line's configured backups: a backup is created once with its
// source, destination, password and exclusions, and then named.
//
//   quorvel create NAME SOURCE DESTINATION [--password-env VAR | --password-file FILE | --no-encryption]
//                  [--segment-size MB] [--exclude PATH]... [--no-digests] [--preserve-ds-store]
//   quorvel list | show NAME | set NAME KEY VALUE | copy NAME NEWNAME
//   quorvel run NAME | restore NAME --to DIR [PATH...] | verify|prune|check|test NAME
//   quorvel history NAME | report NAME [N]
//   quorvel recreate DESTINATION [--name NAME] | remove NAME [--destination-too]
//
// Every verb takes --json. Settings live in the settings folder (see
// Backup); passwords in the credential store.
//
// Errors change nothing: an unknown or duplicate name, a source that is not
// a folder, a destination that is not usable, a bad value for `set` are
// reported on standard error (and as {"success": false, "errorMessages":
// [...]} with --json) before anything is written. A segment size outside 1
// to 128 MB is clamped, and the value used is shown.
//
// Two processes never work on one backup at once: the commands that run
// the engine, and those that change or remove a backup, hold the backup's
// lock (ProcessLock) and fail at once, naming the holder's process id, when
// another process holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class Backup;

// Whether `word` is one of the verbs of configured backups above (other
// than restore, verify, prune, check and test, which name a backup or a
// destination; see NamesConfiguredBackup).
bool IsConfiguredBackupWord(const char* word);

// `quorvel set NAME KEY VALUE` (BackupSettingsCommand.cpp).
int RunSetCommand(int argc, char** argv);
// The change `quorvel set` makes of KEY to VALUE, made on `backup` (one of
// `all`) without saving it; false with the reason in *error.
// A new backup with the defaults of `create`, checked as `create` checks
// (a unique name, an existing source folder, a usable destination, whose
// server password may be in the URL or the credential store) and saved; null
// with the reason in *error. It does not look into the destination.
std::shared_ptr<Backup> CreateConfiguredBackup(const std::vector<std::shared_ptr<Backup>>& existing,
                                               const std::string& name, const std::string& source,
                                               const std::string& destination,
                                               const std::optional<std::string>& encryptionPassword,
                                               std::string* error);
bool ApplyBackupSetting(const std::vector<std::shared_ptr<Backup>>& all, Backup& backup, const std::string& key,
                        const std::string& value, std::string* error);

// Runs such a verb; argv[0] is the verb. The return value is the exit
// status: 0 success, 1 failure, 2 usage error, 3 finished but left items
// out, 130 interrupted.
int RunConfiguredBackupCommand(int argc, char** argv);

// For restore, verify, prune, check and test (argv[0]): whether the first
// argument names a configured backup rather than a destination. It does
// when it has no "/" and a backup of that name exists; "./NAME" always
// means a folder.
bool NamesConfiguredBackup(int argc, char** argv);

// Runs restore, verify, prune, check or test (engine command `command`) on
// the configured backup named by argv[1].
int RunNamedDestinationCommand(int command, int argc, char** argv);

// `quorvel check-source NAME`: the source check with the backup's
// exclusions (core and user exclusions, cache folders), which it reports as
// excluded.
int RunNamedCheckSource(int argc, char** argv);

}  // namespace quorvel
