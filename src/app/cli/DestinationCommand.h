// The command line's destination commands: `quorvel backup`, `restore`,
// `check`, `test`, `verify`, `prune` and `delete`. Each runs one engine
// command (2 to 8) on a RemoteBackupController through the main run loop.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/PasswordSource.h"
#include "foundation/Keychain.h"
#include "foundation/Url.h"
#include "foundation/Value.h"

namespace quorvel {

class RemoteBackupController;

// Exit status of a command that finished but left items out (unreadable,
// vanished or refused): what it stored or restored is incomplete.
inline constexpr int kExitIncomplete = 3;

struct DestinationCommandOptions {
  // BackupCommand: 2 checkDestination ... 8 deleteBackup.
  int command = 0;
  // Source directory (backup, test, prune); made absolute when run.
  std::string source;
  // A local path or a URL, as given.
  std::string destination;
  PasswordOptions password;
  // The destination server's password (--server-password-env/-file), and
  // whether to keep it in the credential store (--remember-server-password).
  PasswordOptions serverPassword{{}, {}, "--server-password-env"};
  bool rememberServerPassword = false;
  // A destination over TLS (https, ftps): a PEM file of the certificates to
  // trust instead of the system's (--ca-file), or no certificate check at all
  // (--insecure-tls). Both travel in the destination URL's query.
  std::string caFile;
  bool insecureTLS = false;
  // The S3 service an "s3://BUCKET/PATH" destination is on (--s3-endpoint
  // URL: "http://127.0.0.1:9000", "https://s3.eu-west-1.amazonaws.com");
  // empty: Amazon S3 (the user default "S3ServiceHost", s3.amazonaws.com).
  std::string s3Endpoint;
  // Trust an SSH server's host key that ~/.ssh/known_hosts does not list yet
  // (and add it there) without asking (--accept-new-host-key).
  bool acceptNewHostKey = false;
  // MiB (maximumSegmentSize).
  unsigned segmentSize = 50;
  // archiveRewritePercent.
  unsigned archiveRewritePercent = 50;
  // Helper steps at once (maximumSimultaneousSegments).
  unsigned parallel = 4;
  bool computeDigests = true;
  bool preserveDSStore = false;
  std::vector<std::string> excludedSubpaths;
  bool reportHidden = false;
  unsigned maxRetries = 6;
  bool json = false;
  // Print the summary (or the JSON results) at the end; failures are
  // reported on standard error either way.
  bool printOutcome = true;
  // restore
  std::string restoreTarget;
  std::vector<std::string> restorePaths;
  bool erase = false;
  bool skipVerification = false;
  // delete
  bool deleteDestination = false;
  // A configured backup's settings, stored with the snapshot of its backups
  // (the "scannerUserInfo" argument of performBackup) in place of those the
  // options above make.
  std::optional<Dictionary> scannerUserInfo;
  // Executables run before and after the command.
  std::string preExecutable;
  std::string successPostExecutable;
  std::string failurePostExecutable;
};

// The command-line word for an engine command ("backup" for 5 ...), and back.
std::string CommandWord(int command);

// A destination as given on the command line: text that starts with a
// scheme and "://" is parsed as a URL; anything else is a local path, made
// absolute and turned into "file://localhost/PATH". A file URL without a
// host gets "localhost" too. Nothing when the text is empty or the URL does
// not parse.
std::optional<Url> DestinationURLFromArgument(const std::string& text);

// Why a destination argument cannot be used, in one line, or nothing when
// it can: empty; a well-known scheme followed by something other than "://"
// ("ftp//host", "smb:/share": a mistyped URL, not a folder); a URL that does
// not parse; a scheme no class of this build serves (those still to come
// are named as such).
std::optional<std::string> DestinationArgumentProblem(const std::string& text);
// The destination with the server's password in it, for a URL with a user:
// from the server-password options (then, when asked, kept in `keychain`),
// else as the URL has it (with a warning on standard error that it shows in
// the process list), else from `keychain`. Nothing with a message in *error
// when the options cannot be read or name a password for a URL without a
// user.
std::optional<Url> DestinationWithServerPassword(const DestinationCommandOptions& options, const Url& destination,
                                                 Keychain& keychain, std::string* error);

// The destination with the TLS options in its query ("ca-file" with the
// absolute path, "insecure-tls=1"), keeping the other parameters of the
// query of `given` (the URL as typed). Nothing with a message in *error when
// an option is given for a destination without TLS or the CA file cannot be
// read.
std::optional<Url> DestinationWithTLSOptions(const DestinationCommandOptions& options, const Url& given,
                                             const Url& destination, std::string* error);

// An "s3://[ACCESS-KEY@]BUCKET[/PATH][?PARAMETERS]" destination as the URL
// of the S3 transfer client: the endpoint's scheme, host and port, the
// bucket and path as the URL's path, the parameters kept, and "s3=1" added
// for an endpoint outside Amazon's domain. The access key comes from the
// URL, else from $AWS_ACCESS_KEY_ID. Any other URL is answered as it is.
// Nothing, with a message in *error, for an endpoint that is not an http or
// https URL without a path, or an s3 URL without a bucket.
std::optional<Url> S3DestinationFromArgument(const Url& destination, const std::string& endpoint, std::string* error);

// The S3 destination with its secret access key (from the server-password
// options, $AWS_SECRET_ACCESS_KEY, the URL or the credential store, in this
// order; see DestinationWithServerPassword), or nothing with a message in
// *error when the access key or the secret key is missing. Other
// destinations go to DestinationWithServerPassword.
std::optional<Url> DestinationWithServerCredentials(const DestinationCommandOptions& options, const Url& destination,
                                                    Keychain& keychain, std::string* error);

// The schemes of this build, as a comma-separated list ("afp, file, smb").
std::string SupportedSchemesText();

// The command's arguments dictionary:
//   every command: "reportHiddenItems" (bool), and "preExecutable",
//     "successPostExecutable", "failurePostExecutable" when given;
//   restore: "destinationPath" (absolute), "eraseDestination",
//     "skipVerification" (bools), "restorePaths" (only when paths are given;
//     trailing and leading "/" and a leading "./" removed);
//   delete: "deleteDestination" (bool).
Dictionary DestinationCommandArguments(const DestinationCommandOptions& options);

// Applies the settings to a controller: source directory (absolute; only
// for commands that read a source), destination URL, exclusion predicate
// from the excluded subpaths (testBackup and performBackup only), .DS_Store
// handling, segment size, parallel steps, digests, incompressible extensions
// and the password (nothing or empty: none).
void ConfigureController(RemoteBackupController& controller, const DestinationCommandOptions& options,
                         const Url& destination, const std::vector<std::string>& incompressibleExtensions,
                         const std::optional<std::string>& password);

// The results as printed by --json: the dictionary with its
// "directoryScanner" object replaced by a summary dictionary ("revision",
// "rootDirectory", "fileName", "dates"). Without results (the command never
// ran): "success" false and the error messages collected.
Value ResultsForOutput(const std::optional<Dictionary>& results, const std::vector<std::string>& errorMessages);

// What a finished command shows - the JSON results with --json, else the
// summary - and its exit status: 130 interrupted, 1 failed (no results, or
// not a success), 3 finished but left items out, 0 otherwise. `results` may
// be the engine's or ResultsForOutput's form (what the scheduler sends).
int ReportCommandOutcome(const DestinationCommandOptions& options, const std::string& shownDestination,
                         const std::optional<Dictionary>& results, const std::vector<std::string>& errorMessages,
                         bool interrupted);

// Runs the command on the calling thread, which must be the main thread.
// Exit status: 0 success, 1 failure (messages on standard error as they
// arrive), 130 when interrupted by SIGINT (the command is cancelled and its
// clean-up allowed to finish first).
//
// Two commands never work on one destination at once: the command holds the
// destination's lock of this machine (ProcessLock) while it runs, and fails
// at once, naming the holder, when another process holds it.
int RunDestinationCommand(const DestinationCommandOptions& options);

// The same on a controller that holds its settings already (a configured
// backup: source, destination with its server password, encryption
// password, segment size, digests): the options give the command, its
// arguments, the output form and the paths to leave out of a scan; the
// destination is the controller's (options.destination is not read). An encrypted
// destination and a controller without a password fail before running
// (nobody is asked). When `results` is given it receives the command's
// results (nothing when the command never ran).
int RunDestinationCommandOnController(const DestinationCommandOptions& options,
                                      const std::shared_ptr<RemoteBackupController>& controller,
                                      std::optional<Dictionary>* results);

}  // namespace quorvel
