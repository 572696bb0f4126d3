#include "app/cli/DestinationCommand.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/SFTPTransferController.h"
#include "app/cli/CheckSourceCommand.h"
#include "model/IncompressibleExtensions.h"
#include "model/ProcessLock.h"
#include "app/cli/InterruptWatch.h"
#include "app/cli/JsonValue.h"
#include "app/cli/NetworkRetryPolicy.h"
#include "app/cli/ProgressDisplay.h"
#include "engine/BackupCommandOperation.h"
#include "engine/BackupController.h"
#include "engine/BackupInfoOperation.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/RunLoop.h"
#include "foundation/UserDefaults.h"
#include "snapshot/DirectoryScanner.h"
#include "foundation/Format.h"

namespace quorvel {

namespace {

// Result keys of checkDestination (and performBackup).
constexpr const char* kDirectoryScannerResult = "directoryScanner";
constexpr const char* kContentsResult = "contents";
constexpr const char* kSourceFilesResult = "sourceFiles";
constexpr const char* kSourceDirectoriesResult = "sourceDirectories";
constexpr const char* kSourceSizeResult = "sourceSize";
constexpr const char* kDestinationFilesResult = "destinationFiles";
constexpr const char* kDestinationSizeResult = "destinationSize";
// Result keys of performBackup besides those.
constexpr const char* kCopiedFilesResult = "copiedFiles";
constexpr const char* kCopiedDirectoriesResult = "copiedDirectories";
constexpr const char* kCopiedSizeResult = "copiedSize";
// Snapshot user info of a stored revision.
constexpr const char* kBackupDatesInfo = "backup.dates";
constexpr const char* kFileNameInfo = ".fileName";

bool CommandReadsSource(int command) {
  return command == BackupCommandPruneDestination || command == BackupCommandTestBackup ||
         command == BackupCommandPerformBackup;
}

bool CommandScansSource(int command) {
  return command == BackupCommandTestBackup || command == BackupCommandPerformBackup;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

// The URL without its password, for messages.
std::string DisplayURL(const Url& url) {
  if (url.hasPassword()) {
    if (std::optional<Url> shown = url.URLByDeletingPassword()) return shown->absoluteString();
  }
  return url.absoluteString();
}

std::string NormalizedRestorePath(std::string path) {
  while (path.starts_with("./")) path.erase(0, 2);
  if (path == ".") path.clear();
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

std::string LocalDateText(Date date) {
  std::time_t seconds = static_cast<std::time_t>(date.timeIntervalSince1970());
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local);
  return text;
}

void PrintJson(const Value& value) {
  std::string text = JsonFromValue(value).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

void PrintCount(const char* label, std::uint64_t count) {
  std::printf("%-22s %llu\n", label, static_cast<unsigned long long>(count));
}

void PrintPathList(const char* label, const Value& paths) {
  const Array& list = paths.asArray();
  if (list.empty()) return;
  std::printf("%s (%zu)\n", label, list.size());
  for (const Value& path : list) std::printf("  %s\n", EscapeControlCharacters(path.asString()).c_str());
}

std::size_t Count(const Dictionary& results, const char* key) { return results.get(key).asArray().size(); }

void PrintCheckSummary(const std::string& destination, const Dictionary& results) {
  std::printf("%-22s %s\n", "Destination:", EscapeControlCharacters(destination).c_str());
  PrintCount("Items at destination:", results.get(kContentsResult).asDictionary().size());
  // The snapshot, or the summary ResultsForOutput makes of it.
  Value summary = ResultsForOutput(results, {}).asDictionary().get(kDirectoryScannerResult);
  if (!summary.isDictionary() && !results.contains(kSourceFilesResult)) {
    std::printf("No backup at this destination.\n");
    return;
  }
  if (summary.isDictionary() && summary.asDictionary().contains("revision")) {
    const Dictionary& snapshot = summary.asDictionary();
    PrintCount("Revision:", snapshot.get("revision").asUInt());
    std::printf("%-22s %s\n", "Backed-up folder:",
                EscapeControlCharacters(snapshot.get("rootDirectory").asString()).c_str());
    const Array& dates = snapshot.get("dates").asArray();
    if (!dates.empty() && dates.back().isDate()) {
      std::printf("%-22s %s\n", "Last backup:", LocalDateText(dates.back().asDate()).c_str());
    }
  }
  PrintCount("Files:", results.get(kSourceFilesResult).asUInt());
  PrintCount("Directories:", results.get(kSourceDirectoriesResult).asUInt());
  PrintSizeLine("Size:", results.get(kSourceSizeResult).asUInt(), 22);
  PrintCount("Stored files:", results.get(kDestinationFilesResult).asUInt());
  PrintSizeLine("Stored size:", results.get(kDestinationSizeResult).asUInt(), 22);
}

void PrintSummary(const DestinationCommandOptions& options, const std::string& destination,
                  const Dictionary& results) {
  double duration = results.get(kDurationResult).asDouble();
  switch (options.command) {
    case BackupCommandCheckDestination:
      PrintCheckSummary(destination, results);
      break;
    case BackupCommandTestBackup: {
      std::size_t changes = Count(results, kChangedPathsResult);
      if (changes == 0) {
        std::printf("The backup is up to date: a backup would change nothing.\n");
      } else {
        std::printf("A backup would change %zu path%s:\n", changes, changes == 1 ? "" : "s");
        for (const Value& path : results.get(kChangedPathsResult).asArray()) {
          std::printf("  %s\n", EscapeControlCharacters(path.asString()).c_str());
        }
      }
      PrintPathList("Excluded:", results.get(kExcludedPathsResult));
      PrintPathList("Skipped:", results.get(kSkippedPathsResult));
      break;
    }
    case BackupCommandPerformBackup: {
      // The snapshot itself, or its summary when the results came from the
      // scheduler service.
      const Value& snapshot = results.get(kDirectoryScannerResult);
      std::optional<std::uint64_t> revision;
      if (std::shared_ptr<DirectoryScanner> scanner = snapshot.object<DirectoryScanner>()) revision = scanner->revision();
      if (snapshot.isDictionary() && snapshot.asDictionary().contains("revision")) {
        revision = snapshot.asDictionary().get("revision").asUInt();
      }
      std::printf("Backup finished in %s", ProgressDisplay::FormatDuration(duration).c_str());
      if (revision) std::printf(" (revision %u)", static_cast<unsigned>(*revision));
      // A first backup has nothing to compare with: everything is new.
      if (revision == 1u && results.contains(kCopiedFilesResult)) {
        std::printf(": first backup, %llu files stored, %zu skipped.\n",
                    static_cast<unsigned long long>(results.get(kCopiedFilesResult).asUInt()),
                    Count(results, kSkippedPathsResult));
      } else {
        std::printf(": %zu changed, %zu skipped.\n", Count(results, kChangedPathsResult),
                    Count(results, kSkippedPathsResult));
      }
      if (results.contains(kSourceFilesResult)) {
        std::printf("%-22s %llu files, %llu folders, %s\n", "Source:",
                    static_cast<unsigned long long>(results.get(kSourceFilesResult).asUInt()),
                    static_cast<unsigned long long>(results.get(kSourceDirectoriesResult).asUInt()),
                    HumanReadableSize(results.get(kSourceSizeResult).asUInt()).c_str());
        std::printf("%-22s %llu files, %llu folders, %s\n", "Stored by this run:",
                    static_cast<unsigned long long>(results.get(kCopiedFilesResult).asUInt()),
                    static_cast<unsigned long long>(results.get(kCopiedDirectoriesResult).asUInt()),
                    HumanReadableSize(results.get(kCopiedSizeResult).asUInt()).c_str());
        std::printf("%-22s %llu items, %s\n", "Destination:",
                    static_cast<unsigned long long>(results.get(kDestinationFilesResult).asUInt()),
                    HumanReadableSize(results.get(kDestinationSizeResult).asUInt()).c_str());
      }
      PrintPathList("Skipped:", results.get(kSkippedPathsResult));
      break;
    }
    case BackupCommandRestoreBackup:
      std::printf("Restore finished in %s into %s: %zu created, %zu deleted first, %zu skipped.\n",
                  ProgressDisplay::FormatDuration(duration).c_str(), AbsolutePath(options.restoreTarget).c_str(),
                  Count(results, kCopiedPathsResult), Count(results, kDeletedPathsResult),
                  Count(results, kSkippedPathsResult));
      PrintPathList("Skipped:", results.get(kSkippedPathsResult));
      break;
    case BackupCommandVerifyBackup:
      std::printf("Every stored file of the backup is present and matches its digest.\n");
      break;
    case BackupCommandPruneDestination:
      std::printf("Deleted %zu spare item%s from the destination.\n", Count(results, kDeletedPathsResult),
                  Count(results, kDeletedPathsResult) == 1 ? "" : "s");
      PrintPathList("Deleted:", results.get(kDeletedPathsResult));
      break;
    case BackupCommandDeleteBackup:
      std::printf("Deleted %zu item%s of the backup%s.\n", Count(results, kDeletedPathsResult),
                  Count(results, kDeletedPathsResult) == 1 ? "" : "s",
                  options.deleteDestination ? " and the destination folder" : "");
      break;
    default:
      break;
  }
}

class DestinationCommandDelegate : public CommandEndDelegate {
 public:
  DestinationCommandDelegate(ProgressDisplay& display, NetworkRetryPolicy& policy)
      : display_(display), policy_(policy) {}

  bool respondsTo(Callback callback) const override {
    switch (callback) {
      case Callback::DidGetErrorMessage:
      case Callback::WillBeginPhase:
      case Callback::DidEndPhase:
      case Callback::DidUpdatePhase:
      case Callback::ShouldRetryAfterNetworkError:
        return true;
      default:
        return false;
    }
  }

  void backupControllerDidGetErrorMessage(BackupController&, const std::string& message) override {
    errorMessages.push_back(message);
    display_.showMessage(message);
  }
  void backupControllerWillBeginPhaseWithType(BackupController&, const std::string& type,
                                              std::uint32_t identifier) override {
    display_.willBeginPhase(type, identifier);
  }
  void backupControllerDidEndPhaseWithType(BackupController&, const std::string& type,
                                           std::uint32_t identifier) override {
    display_.didEndPhase(type, identifier);
  }
  void backupControllerDidUpdatePhaseWithType(BackupController&, const std::string& type, std::uint32_t identifier,
                                              std::uint32_t currentValue, std::uint32_t maxValue, double) override {
    display_.didUpdatePhase(type, identifier, currentValue, maxValue);
  }

  // Waits on a run-loop timer (the loop keeps serving SIGINT meanwhile) and
  // then answers yes; answers no at once when the policy gives up.
  void backupControllerShouldRetryAfterNetworkError(BackupController& controller) override {
    std::optional<double> delay = policy_.delayAfterFailure();
    if (!delay) {
      display_.showMessage(policy_.maximumRetries() == 0
                               ? std::string("quorvel: network error: not retrying (--max-retries 0)")
                               : "quorvel: network error: giving up after " +
                                     std::to_string(policy_.maximumRetries()) + " retries in a row");
      controller.replyToShouldRetryAfterNetworkError(false);
      return;
    }
    display_.setRetryWait(MonotonicSeconds() + *delay, policy_.retriesInStreak(), policy_.maximumRetries());
    std::weak_ptr<BackupController> weak = controller.shared_from_this();
    retryTimer_ = Timer::withTimeInterval(*delay, false, [this, weak](Timer&) {
      display_.setRetryWait(std::nullopt);
      retryTimer_.reset();
      if (std::shared_ptr<BackupController> strong = weak.lock()) strong->replyToShouldRetryAfterNetworkError(true);
    });
    RunLoop::main().addTimer(retryTimer_, kRunLoopCommonModes);
  }

  // The pending retry is dropped (cancelling answers the question itself).
  void cancelRetryWait() {
    if (retryTimer_) {
      retryTimer_->invalidate();
      retryTimer_.reset();
      display_.setRetryWait(std::nullopt);
    }
  }

  std::vector<std::string> errorMessages;

 protected:
  void commandDidEnd() override { cancelRetryWait(); }

 private:
  ProgressDisplay& display_;
  NetworkRetryPolicy& policy_;
  std::shared_ptr<Timer> retryTimer_;
};

// Reports a failure that happens before the engine runs: on standard error,
// and as the results object with --json.
int FailBeforeRunning(const DestinationCommandOptions& options, const std::string& message) {
  std::fprintf(stderr, "quorvel: %s\n", EscapeControlCharacters(message).c_str());
  if (options.json) PrintJson(ResultsForOutput(std::nullopt, {message}));
  std::fflush(stdout);
  return 1;
}

}  // namespace

std::string CommandWord(int command) {
  switch (command) {
    case BackupCommandCheckDestination:
      return "check";
    case BackupCommandPruneDestination:
      return "prune";
    case BackupCommandTestBackup:
      return "test";
    case BackupCommandPerformBackup:
      return "backup";
    case BackupCommandVerifyBackup:
      return "verify";
    case BackupCommandRestoreBackup:
      return "restore";
    case BackupCommandDeleteBackup:
      return "delete";
    default:
      return {};
  }
}

std::optional<Url> DestinationURLFromArgument(const std::string& text) {
  if (text.empty()) return std::nullopt;
  static const std::regex kScheme("^[A-Za-z][A-Za-z0-9+.-]*://");
  if (!std::regex_search(text, kScheme)) return Url::URLWithScheme("file", "localhost", AbsolutePath(text));
  std::optional<Url> url = Url::URLWithString(text);
  // "sftp" is what most people call an SSH server's file transfer.
  if (url && url->scheme() == "sftp") {
    url = Url::URLWithString("ssh" + text.substr(text.find("://")));
  }
  // The local transfer client addresses this machine as "localhost":
  // "file:///path" becomes "file://localhost/path".
  if (url && url->isFileURL() && url->host().empty()) {
    return Url::URLWithScheme("file", "localhost", url->path());
  }
  return url;
}

std::string SupportedSchemesText() {
  std::vector<std::string> schemes = FileTransferController::supportedSchemes();
  // "s3://BUCKET/PATH" is the command line's own form of an S3 destination.
  schemes.push_back("s3");
  std::sort(schemes.begin(), schemes.end());
  std::string text;
  for (const std::string& scheme : schemes) text += (text.empty() ? "" : ", ") + scheme;
  return text;
}

std::optional<Url> S3DestinationFromArgument(const Url& destination, const std::string& endpoint, std::string* error) {
  if (destination.scheme() != "s3") return destination;
  std::string serviceURL = endpoint;
  if (serviceURL.empty()) {
    std::string host = UserDefaults::standard().stringForKey("S3ServiceHost");
    serviceURL = "https://" + (host.empty() ? std::string("s3.amazonaws.com") : host);
  }
  std::optional<Url> service = Url::URLWithString(serviceURL);
  if (!service || (service->scheme() != "http" && service->scheme() != "https") || service->host().empty() ||
      (!service->path().empty() && service->path() != "/")) {
    *error = "--s3-endpoint \"" + endpoint + "\" is not an http:// or https:// URL of a server (without a path)";
    return std::nullopt;
  }
  const std::string bucket = destination.host();
  if (bucket.empty()) {
    *error = "an s3:// destination names its bucket: s3://BUCKET/PATH";
    return std::nullopt;
  }
  std::string accessKey = destination.user();
  if (accessKey.empty()) {
    if (const char* fromEnvironment = std::getenv("AWS_ACCESS_KEY_ID")) accessKey = fromEnvironment;
  }
  std::string query = destination.query();
  // Hosts outside Amazon's domain are S3 because the URL says so.
  if (!IsS3URL(*service)) query = "s3=1" + std::string(query.empty() ? "" : "&") + query;
  std::optional<Url> url = Url::URLWithScheme(
      service->scheme(), accessKey, destination.passwordByReplacingPercentEscapes().value_or(""), service->host(),
      service->port().value_or(0), "/" + bucket + destination.path(), query);
  if (!url) *error = "the s3 destination cannot be made into a URL of " + service->absoluteString();
  return url;
}

std::optional<Url> DestinationWithServerCredentials(const DestinationCommandOptions& options, const Url& destination,
                                                    Keychain& keychain, std::string* error) {
  if ((destination.scheme() != "http" && destination.scheme() != "https") || !IsS3URL(destination)) {
    return DestinationWithServerPassword(options, destination, keychain, error);
  }
  const std::string needed =
      "an S3 destination needs an access key ID (s3://KEY@BUCKET/PATH or $AWS_ACCESS_KEY_ID) and a secret "
      "access key (--server-password-env VAR, --server-password-file FILE or $AWS_SECRET_ACCESS_KEY)";
  if (!destination.hasUser() || destination.user().empty()) {
    *error = needed;
    return std::nullopt;
  }
  std::optional<Url> withSecret = destination;
  const char* secret = std::getenv("AWS_SECRET_ACCESS_KEY");
  if (!options.serverPassword.given() && !destination.hasPassword() && secret && *secret) {
    withSecret = Url::URLWithScheme(destination.scheme(), destination.user(), secret, destination.host(),
                                    destination.port().value_or(0), destination.path(), destination.query());
  } else {
    withSecret = DestinationWithServerPassword(options, destination, keychain, error);
  }
  if (!withSecret) return std::nullopt;
  if (withSecret->passwordByReplacingPercentEscapes().value_or("").empty()) {
    *error = needed;
    return std::nullopt;
  }
  return withSecret;
}

std::optional<std::string> DestinationArgumentProblem(const std::string& text) {
  if (text.empty()) return "the destination is empty";
  // A scheme everyone knows, followed by something that is not "://", was
  // meant as a URL; taken as a folder it would quietly back up next to the
  // current folder.
  static const std::regex kMistypedURL("^(file|smb|afp|ftp|ftps|sftp|ssh|http|https|s3)(:/?([^/]|$)|//)",
                                       std::regex::icase);
  std::smatch match;
  if (std::regex_search(text, match, kMistypedURL)) {
    return "\"" + text + "\" looks like a mistyped URL (a URL starts with \"" + match[1].str() +
           "://\"); to mean a local folder of that name, write \"./" + text + "\"";
  }
  std::optional<Url> url = DestinationURLFromArgument(text);
  if (!url) return "\"" + text + "\" is not a valid URL";
  std::vector<std::string> schemes = FileTransferController::supportedSchemes();
  if (std::find(schemes.begin(), schemes.end(), url->scheme()) != schemes.end() || url->scheme() == "s3")
    return std::nullopt;
  static const std::set<std::string> kPlanned{"ftp", "ftps", "sftp", "ssh", "http", "https", "s3"};
  if (kPlanned.count(url->scheme()))
    return url->scheme() + " destinations are not supported in this build (supported: " + SupportedSchemesText() + ")";
  return "unknown URL scheme \"" + url->scheme() + "\" (supported: " + SupportedSchemesText() + ")";
}

std::optional<Url> DestinationWithServerPassword(const DestinationCommandOptions& options, const Url& destination,
                                                 Keychain& keychain, std::string* error) {
  if (destination.isFileURL()) {
    if (options.serverPassword.given()) *error = "a local destination has no server password";
    return options.serverPassword.given() ? std::nullopt : std::optional<Url>(destination);
  }
  if (options.serverPassword.given()) {
    if (!destination.hasUser()) {
      *error = "a server password needs a user name in the destination URL (scheme://user@host/...)";
      return std::nullopt;
    }
    std::optional<std::string> password = PasswordFromOptions(options.serverPassword, error);
    if (!password) return std::nullopt;
    std::optional<Url> withPassword =
        Url::URLWithScheme(destination.scheme(), destination.user(), *password, destination.host(),
                           destination.port().value_or(0), destination.path());
    if (!withPassword) {
      *error = "the destination URL cannot hold that password";
      return std::nullopt;
    }
    if (options.rememberServerPassword) {
      // Replaces a password kept before for the same URL.
      keychain.removePasswordForURL(*withPassword);
      if (!keychain.addPasswordForURL(*withPassword))
        std::fprintf(stderr, "quorvel: warning: the server password could not be kept in the credential store\n");
    }
    return withPassword;
  }
  if (destination.hasPassword()) {
    std::fprintf(stderr,
                 "quorvel: warning: the password in the destination URL shows in the process list; give it with "
                 "--server-password-env or --server-password-file (and --remember-server-password) instead\n");
    return destination;
  }
  return destination.hasUser() ? keychain.URLWithPasswordForURL(destination) : destination;
}

std::optional<Url> DestinationWithTLSOptions(const DestinationCommandOptions& options, const Url& given,
                                             const Url& destination, std::string* error) {
  std::vector<std::pair<std::string, std::string>> parameters;
  std::istringstream query(given.query());
  for (std::string parameter; std::getline(query, parameter, '&');) {
    if (parameter.empty()) continue;
    std::size_t equals = parameter.find('=');
    parameters.emplace_back(parameter.substr(0, equals),
                            equals == std::string::npos ? std::string() : parameter.substr(equals + 1));
  }
  if (options.insecureTLS || !options.caFile.empty()) {
    if (destination.scheme() != "https" && destination.scheme() != "ftps") {
      *error = "--ca-file and --insecure-tls are for destinations over TLS (https://, ftps://), not \"" +
               destination.scheme() + "\" ones";
      return std::nullopt;
    }
    std::erase_if(parameters, [](const auto& parameter) {
      return parameter.first == "ca-file" || parameter.first == "insecure-tls";
    });
    if (options.insecureTLS) parameters.emplace_back("insecure-tls", "1");
    if (!options.caFile.empty()) {
      std::string path = AbsolutePath(options.caFile);
      if (::access(path.c_str(), R_OK) != 0) {
        *error = "cannot read the CA file \"" + path + "\"";
        return std::nullopt;
      }
      parameters.emplace_back("ca-file", Url::escape(path, "&=?#%"));
    }
  }
  if (parameters.empty()) return destination;
  std::string text;
  for (const auto& [name, value] : parameters) text += (text.empty() ? "" : "&") + name + "=" + value;
  std::optional<Url> withQuery = Url::URLWithScheme(
      destination.scheme(), destination.user(), destination.passwordByReplacingPercentEscapes().value_or(""),
      destination.host(), destination.port().value_or(0), destination.path(), text);
  if (!withQuery) *error = "the destination URL cannot hold the query \"" + text + "\"";
  return withQuery;
}

Dictionary DestinationCommandArguments(const DestinationCommandOptions& options) {
  Dictionary arguments;
  arguments.set(kReportHiddenItemsArgument, options.reportHidden);
  SetExecutableArguments(arguments, options.preExecutable, options.successPostExecutable,
                         options.failurePostExecutable);
  if (options.command == BackupCommandRestoreBackup) {
    arguments.set(kDestinationPathArgument, AbsolutePath(options.restoreTarget));
    arguments.set(kEraseDestinationArgument, options.erase);
    arguments.set(kSkipVerificationArgument, options.skipVerification);
    Array paths;
    bool everything = false;
    for (const std::string& path : options.restorePaths) {
      std::string normalized = NormalizedRestorePath(path);
      if (normalized.empty()) everything = true;
      paths.emplace_back(std::move(normalized));
    }
    // "/" or "." asks for the whole backup, which is what no paths mean.
    if (!paths.empty() && !everything) arguments.set(kRestorePathsArgument, std::move(paths));
  }
  if (options.command == BackupCommandDeleteBackup) {
    arguments.set(kDeleteDestinationArgument, options.deleteDestination);
  }
  if (options.command == BackupCommandPerformBackup) {
    // What re-creating this backup from its destination needs; the engine
    // adds the backup's UUID (kept from the revision it loads).
    Array excluded;
    for (const std::string& path : options.excludedSubpaths) excluded.emplace_back(path);
    Dictionary info;
    info.set(kSourceDirectoryPathInfo, AbsolutePath(options.source));
    info.set(kComputeFileDigestsInfo, options.computeDigests);
    info.set(kPreserveDSStoreFilesInfo, options.preserveDSStore);
    info.set(kExtraExcludedPathsInfo, std::move(excluded));
    info.set(kMaximumSegmentSizeInfo, static_cast<std::uint64_t>(options.segmentSize));
    arguments.set(kScannerUserInfoArgument, options.scannerUserInfo ? *options.scannerUserInfo : std::move(info));
  }
  return arguments;
}

void ConfigureController(RemoteBackupController& controller, const DestinationCommandOptions& options,
                         const Url& destination, const std::vector<std::string>& incompressibleExtensions,
                         const std::optional<std::string>& password) {
  if (CommandReadsSource(options.command)) controller.setSourceDirectoryPath(AbsolutePath(options.source));
  controller.setDestinationURL(destination);
  if (CommandScansSource(options.command)) {
    controller.setExclusionPredicate(DirectoryScanner::exclusionPredicateWithPaths(options.excludedSubpaths, {}));
  }
  controller.setPreserveDSStoreFiles(options.preserveDSStore);
  controller.setMaximumSegmentSize(options.segmentSize);
  controller.setArchiveRewritePercent(options.archiveRewritePercent);
  controller.setMaximumSimultaneousSegments(options.parallel);
  controller.setComputeFileDigests(options.computeDigests);
  controller.setIncompressibleExtensions(incompressibleExtensions);
  controller.setEncryptionPassword(password);
}

Value ResultsForOutput(const std::optional<Dictionary>& results, const std::vector<std::string>& errorMessages) {
  if (!results) {
    Array messages;
    for (const std::string& message : errorMessages) messages.emplace_back(message);
    return Dictionary{{kSuccessResult, false}, {kErrorMessagesResult, std::move(messages)}};
  }
  Dictionary output = *results;
  Value* scanner = output.find(kDirectoryScannerResult);
  if (scanner && !scanner->isDictionary()) {
    Dictionary summary;
    if (std::shared_ptr<DirectoryScanner> snapshot = scanner->object<DirectoryScanner>()) {
      summary.set("revision", static_cast<std::uint64_t>(snapshot->revision()));
      summary.set("rootDirectory", snapshot->rootDirectory());
      const Value& fileName = snapshot->userInfoForKey(kFileNameInfo);
      if (fileName.isString()) summary.set("fileName", fileName);
      const Value& dates = snapshot->userInfoForKey(kBackupDatesInfo);
      summary.set("dates", dates.isArray() ? dates : Value(Array{}));
    }
    *scanner = std::move(summary);
  }
  return output;
}

namespace {

// The password: given, asked for when the destination holds an encrypted
// backup, or none. Answers an exit status when the command cannot go on.
// With `known` the password is the one given (a configured backup's) and
// is never asked for.
std::optional<int> ResolvePassword(const DestinationCommandOptions& options, const Url& destination,
                                   std::optional<std::string>& password, bool known) {
  const std::string shownDestination = DisplayURL(destination);
  std::string problem;
  if (!known) password = PasswordFromOptions(options.password, &problem);
  if (!password && !problem.empty()) return FailBeforeRunning(options, problem);
  // The destination's root listing tells whether its backup is encrypted
  // (no listing: a new or unreachable destination, which the engine reports).
  std::optional<Dictionary> listing;
  if (std::shared_ptr<FileTransferController> client =
          FileTransferController::fileTransferControllerWithURL(destination)) {
    client->setTimeOut(60.0);
    listing = client->contentsOfDirectoryAtPath("");
  }
  if (password && listing && ListingHoldsOnlyPlainRevisions(*listing)) {
    return FailBeforeRunning(options, "the backup at \"" + shownDestination +
                                          "\" is not encrypted: leave out --password-env and --password-file");
  }
  if (password || !listing || !ListingHoldsEncryptedRevision(*listing)) return std::nullopt;
  if (known) {
    return FailBeforeRunning(options, "the backup at \"" + shownDestination +
                                          "\" is encrypted, but this backup has no encryption password");
  }
  if (!::isatty(STDIN_FILENO)) {
    return FailBeforeRunning(options, "the backup at \"" + shownDestination +
                                          "\" is encrypted and there is no terminal to ask for its password: "
                                          "give it with --password-env VARIABLE or --password-file FILE");
  }
  std::string typed;
  switch (PromptForPassword("Password for the backup at \"" + shownDestination + "\": ", &typed)) {
    case PromptOutcome::Entered:
      if (typed.empty()) return FailBeforeRunning(options, "no password given");
      password = std::move(typed);
      return std::nullopt;
    case PromptOutcome::Interrupted:
      std::fprintf(stderr, "quorvel: %s interrupted\n", CommandWord(options.command).c_str());
      return 130;
    case PromptOutcome::Failed:
      break;
  }
  return FailBeforeRunning(options, "could not read the password from the terminal");
}

// A backup to a local folder that does not exist yet creates it (owner
// only), parents included; so does a restore for the folder it restores
// into (with the usual permissions). Answers an exit status when it cannot.
std::optional<int> CreateLocalFolders(const DestinationCommandOptions& options, const Url& destination) {
  std::filesystem::path folder;
  bool ownerOnly = false;
  if (options.command == BackupCommandPerformBackup && destination.isFileURL()) {
    folder = destination.path();
    ownerOnly = true;
  } else if (options.command == BackupCommandRestoreBackup && !options.restoreTarget.empty()) {
    folder = AbsolutePath(options.restoreTarget);
  } else {
    return std::nullopt;
  }
  std::error_code error;
  if (std::filesystem::exists(folder, error)) return std::nullopt;
  std::filesystem::create_directories(folder, error);
  if (error) {
    return FailBeforeRunning(options, std::string(ownerOnly ? "cannot create the destination folder \""
                                                            : "cannot create the folder to restore into \"") +
                                          folder.string() + "\" (" + error.message() + ")");
  }
  if (ownerOnly) std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
  return std::nullopt;
}

// What the command came to: output, summary and exit status.
// The exit status: 130 interrupted, 1 failed, 3 finished but left items out
// (unreadable, vanished or refused: the result is incomplete), 0 otherwise.
int ExitStatusOf(const std::optional<Dictionary>& results, bool interrupted) {
  if (interrupted) return 130;
  if (!results || !results->get(kSuccessResult).asBool()) return 1;
  const Value& skipped = results->get(kSkippedPathsResult);
  return skipped.isArray() && !skipped.asArray().empty() ? kExitIncomplete : 0;
}

int ReportOutcome(const DestinationCommandOptions& options, const std::string& shownDestination,
                  const DestinationCommandDelegate& delegate, bool interrupted) {
  return ReportCommandOutcome(options, shownDestination, delegate.results, delegate.errorMessages, interrupted);
}

}  // namespace

namespace {

// A local destination inside the source would be backed up into itself,
// growing with every run: its subpath is left out of the scan, and the user
// told so once.
DestinationCommandOptions WithoutDestinationInSource(const DestinationCommandOptions& options,
                                                     const Url& destination) {
  if (!CommandScansSource(options.command) || !destination.isFileURL()) return options;
  std::error_code error;
  const std::filesystem::path source = std::filesystem::weakly_canonical(AbsolutePath(options.source), error);
  if (error) return options;
  const std::filesystem::path target = std::filesystem::weakly_canonical(destination.path(), error);
  if (error) return options;
  const std::filesystem::path relative = target.lexically_relative(source);
  if (relative.empty() || *relative.begin() == ".." || relative == ".") return options;
  DestinationCommandOptions adjusted = options;
  adjusted.excludedSubpaths.push_back(relative.string());
  std::fprintf(stderr, "quorvel: the destination is inside the source; \"%s\" is left out of the backup\n",
               EscapeControlCharacters(relative.string()).c_str());
  return adjusted;
}

}  // namespace

// How an SSH server's unknown host key and a key file's passphrase are
// answered: by the option, else on the terminal, else not at all.
static void InstallSSHQuestions(const DestinationCommandOptions& options) {
  const bool accept = options.acceptNewHostKey;
  SFTPTransferController::setHostKeyApprover([accept](const HostKeyQuestion& question) {
    const std::string host =
        question.port == 22 ? question.host : "[" + question.host + "]:" + std::to_string(question.port);
    if (accept) {
      std::fprintf(stderr, "quorvel: trusting the new host key of %s (%s %s); it is added to %s\n", host.c_str(),
                   question.keyType.c_str(), question.fingerprint.c_str(),
                   SFTPTransferController::knownHostsPath().c_str());
      return true;
    }
    if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) return false;
    std::fprintf(stderr,
                 "The host key of %s is not known yet.\n%s key fingerprint is %s.\n"
                 "Trust it and add it to %s? [y/N] ",
                 host.c_str(), question.keyType.c_str(), question.fingerprint.c_str(),
                 SFTPTransferController::knownHostsPath().c_str());
    std::fflush(stderr);
    std::string answer;
    for (char byte; ::read(STDIN_FILENO, &byte, 1) == 1 && byte != '\n';) answer.push_back(byte);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
  });
  SFTPTransferController::setPassphraseProvider([](const std::string& keyPath) -> std::optional<std::string> {
    std::string passphrase;
    if (PromptForPassword("Passphrase for " + keyPath + ": ", &passphrase) != PromptOutcome::Entered) {
      return std::nullopt;
    }
    return passphrase;
  });
}

int RunDestinationCommand(const DestinationCommandOptions& options) {
  return RunDestinationCommandOnController(options, nullptr, nullptr);
}

namespace {

// The destination as the options give it (with the server password and the
// TLS options), or nothing with the reason in *problem. Reads the password
// options, which may be read once only.
std::optional<Url> DestinationFromOptions(const DestinationCommandOptions& options, std::string* problem) {
  if (std::optional<std::string> mistake = DestinationArgumentProblem(options.destination)) {
    *problem = EscapeControlCharacters(*mistake);
    return std::nullopt;
  }
  std::optional<Url> destination = DestinationURLFromArgument(options.destination);
  if (!destination) {
    *problem = "invalid destination \"" + options.destination + "\"";
    return std::nullopt;
  }
  if (!options.s3Endpoint.empty() && destination->scheme() != "s3") {
    *problem = "--s3-endpoint is for s3://BUCKET/PATH destinations";
    return std::nullopt;
  }
  destination = S3DestinationFromArgument(*destination, options.s3Endpoint, problem);
  if (!destination) return std::nullopt;
  const Url given = *destination;
  destination = DestinationWithServerCredentials(options, *destination, Keychain::sharedKeychain(), problem);
  if (destination) destination = DestinationWithTLSOptions(options, given, *destination, problem);
  return destination;
}

// A configured controller's destination: complete already (server password,
// TLS options in its query).
std::optional<Url> DestinationOfController(const RemoteBackupController& controller, std::string* problem) {
  std::shared_ptr<const Url> url = controller.destinationURL();
  if (!url) {
    *problem = "the backup has no destination";
    return std::nullopt;
  }
  return *url;
}

// The destination lock of this machine, or an exit status when another
// process holds it.
std::optional<int> LockDestination(const DestinationCommandOptions& options, const Url& destination,
                                   std::optional<ProcessLock>& lock) {
  ProcessLock::Refusal refusal;
  lock = ProcessLock::acquire(ProcessLock::pathForDestination(destination), &refusal);
  if (lock) return std::nullopt;
  if (!refusal.error.empty()) {
    // Without a lock file the command still runs, unguarded, as it always could.
    std::fprintf(stderr, "quorvel: warning: %s\n", refusal.error.c_str());
    return std::nullopt;
  }
  return FailBeforeRunning(options, "the destination \"" + DisplayURL(destination) + "\" is in use by " +
                                        (refusal.holder ? "process " + std::to_string(refusal.holder)
                                                        : std::string("another process")) +
                                        "; try again when it has finished");
}

}  // namespace

int ReportCommandOutcome(const DestinationCommandOptions& options, const std::string& shownDestination,
                         const std::optional<Dictionary>& results, const std::vector<std::string>& errorMessages,
                         bool interrupted) {
  const std::string word = CommandWord(options.command);
  const int status = ExitStatusOf(results, interrupted);
  if (options.printOutcome && options.json) {
    Value output = ResultsForOutput(results, errorMessages);
    if (output.isDictionary()) {
      Dictionary withStatus = output.asDictionary();
      withStatus.set("exitStatus", static_cast<std::int64_t>(status));
      output = Value(std::move(withStatus));
    }
    PrintJson(output);
  } else if (options.printOutcome && (status == 0 || status == kExitIncomplete) && !interrupted) {
    PrintSummary(options, shownDestination, *results);
  }
  std::fflush(stdout);
  switch (status) {
    case 130:
      std::fprintf(stderr, "quorvel: %s interrupted\n", word.c_str());
      break;
    case 1:
      std::fprintf(stderr, "quorvel: %s failed\n", word.c_str());
      break;
    case kExitIncomplete:
      std::fprintf(stderr, "quorvel: %s finished, but left out %zu item%s (see the messages above)\n", word.c_str(),
                   results->get(kSkippedPathsResult).asArray().size(),
                   results->get(kSkippedPathsResult).asArray().size() == 1 ? "" : "s");
      break;
    default:
      break;
  }
  return status;
}

int RunDestinationCommandOnController(const DestinationCommandOptions& options,
                                      const std::shared_ptr<RemoteBackupController>& configured,
                                      std::optional<Dictionary>* results) {
  InstallSSHQuestions(options);
  std::string problem;
  std::optional<Url> destination =
      configured ? DestinationOfController(*configured, &problem) : DestinationFromOptions(options, &problem);
  if (!destination) return FailBeforeRunning(options, problem);
  std::optional<ProcessLock> lock;
  if (std::optional<int> status = LockDestination(options, *destination, lock)) return *status;
  std::optional<std::string> password;
  if (configured) password = configured->encryptionPassword();
  if (std::optional<int> status = ResolvePassword(options, *destination, password, configured != nullptr))
    return *status;
  if (std::optional<int> status = CreateLocalFolders(options, *destination)) return *status;

  std::shared_ptr<RemoteBackupController> controller = configured;
  if (controller) {
    if (CommandScansSource(options.command)) {
      controller->setExclusionPredicate(DirectoryScanner::exclusionPredicateWithPaths(
          WithoutDestinationInSource(options, *destination).excludedSubpaths, {}));
    }
  } else {
    Expected<std::vector<std::string>> extensions = LoadIncompressibleExtensions();
    if (!extensions) {
      std::fprintf(stderr, "quorvel: warning: %s; every file will be compressed\n",
                   extensions.status().message().c_str());
      extensions = std::vector<std::string>();
    }
    controller = RemoteBackupController::create();
    ConfigureController(*controller, WithoutDestinationInSource(options, *destination), *destination, *extensions,
                        password);
  }

  ProgressOutput progress(CommandWord(options.command));
  NetworkRetryPolicy policy(options.maxRetries, MonotonicSeconds);
  DestinationCommandDelegate delegate(progress.display(), policy);
  controller->setDelegate(&delegate);
  bool interrupted = RunCommandUntilFinished(*controller, options.command, DestinationCommandArguments(options),
                                             [&] { return delegate.finished; }, [&] { delegate.cancelRetryWait(); });
  controller->setDelegate(nullptr);
  progress.finish();
  if (results) *results = delegate.results;
  return ReportOutcome(options, DisplayURL(*destination), delegate, interrupted);
}

}  // namespace quorvel
