// What the command-line verbs of configured backups share: finding a backup
// by name, their locks, checking what the user gives, showing a backup, and
// reporting a failure before anything changed.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/DestinationCommand.h"
#include "app/cli/PasswordSource.h"
#include "foundation/Url.h"
#include "foundation/Value.h"
#include "model/Backup.h"
#include "model/ProcessLock.h"

namespace quorvel::configured {

using BackupList = std::vector<std::shared_ptr<Backup>>;

// A failure before anything changed: the message, and the exit status.
struct Failure {
  std::string message;
  int status = 1;
};

void PrintJson(const Value& value);
// Prints the message on standard error (and, with json, as
// {"success": false, "errorMessages": [...]}) and answers the status.
int Fail(const Failure& failure, bool json);

std::string AbsolutePath(const std::string& path);
// A URL for messages: without its password (and query).
std::string Shown(const std::shared_ptr<const Url>& url);

// Every configured backup; nothing (with the failure) when the settings
// folder cannot be read.
std::optional<BackupList> LoadBackups(Failure* failure);
// The backup of that name, or null (FindOrFail: with the failure).
std::shared_ptr<Backup> FindByName(const BackupList& backups, const std::string& name);
std::shared_ptr<Backup> FindOrFail(const BackupList& backups, const std::string& name, Failure* failure);
// The backups loaded and the one of that name found, or null with the failure.
std::shared_ptr<Backup> LoadNamedBackup(const std::string& name, Failure* failure);
// Parses a verb's arguments (`name` is its NAME option, filled by parsing)
// and finds that backup; null, with *status the exit status, after help, a
// usage error or a failure (printed, as JSON too with `json`).
std::shared_ptr<Backup> ParseAndFindBackup(CLI::App& app, int argc, char** argv, const std::string& name, bool json,
                                           int* status);

// The backup's lock of this machine, or nothing with the holder named.
std::optional<ProcessLock> LockBackup(const Backup& backup, Failure* failure);
// The lock of the list of backups, held while a backup is added or renamed,
// so that two processes cannot both take a free name.
std::optional<ProcessLock> LockBackupList(Failure* failure);

// An existing folder, made absolute; nothing with the failure otherwise.
std::optional<std::string> CheckedSource(const std::string& given, Failure* failure);
// A usable destination (a URL needs a host) with the server password from
// the options (or the credential store) in it.
std::optional<Url> CheckedDestination(const std::string& given, const PasswordOptions& serverPassword,
                                      Failure* failure);
// The segment size to use: clamped to 1 ... 128 MB, with a notice on
// standard error when it had to be.
std::uint32_t ClampedSegmentSize(std::int64_t given);
// An exclusion as stored: relative to the source, without "./" and
// trailing "/". Absolute paths must lie inside the source.
std::optional<std::string> RelativeExclusion(const std::string& source, const std::string& given, Failure* failure);
// The encryption password of a new backup: from the options, asked twice
// on a terminal, or none with `none` (--no-encryption). Nothing with the
// failure when there is none of these.
std::optional<std::optional<std::string>> NewEncryptionPassword(const PasswordOptions& options, bool none,
                                                                Failure* failure);

// A backup's settings and state, for --json and for show.
Dictionary BackupSummary(const Backup& backup);
// "every 6 h, daily at 02:30, at start-up, when the destination appears;
// skipped if WEEK_DAY == 0", or "none".
std::string ScheduleText(const Backup& backup);
void PrintBackup(const Backup& backup);

// Parses with CLI11; false with the exit status in *status after --help (0)
// or a usage error (2, the message printed).
bool Parse(CLI::App& app, int argc, char** argv, int* status);
void AddPasswordOptions(CLI::App& app, PasswordOptions& password, const char* what);
void AddServerPasswordOptions(CLI::App& app, PasswordOptions& password);

}  // namespace quorvel::configured
