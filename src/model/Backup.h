// Backup: one configured backup - its identity, its settings, its passwords,
// its history - and, being a RemoteBackupController itself, the controller
// that runs its commands.
//
// Storage. Every backup lives in its own folder, named by its UUID, in the
// settings folder (SettingsFolder()). The folder holds "Settings.data", a
// keyed archive whose root object is the backup (class "Backup", version 3;
// the keys and their order are listed in Backup.cpp), "Options.plist" (the
// settings this system adds: whether cache folders are left out), and the
// reports of its commands (BackupResults.cpp). The settings file is replaced atomically (written beside, synced,
// renamed), so a crash leaves the old file or the new one. Files of versions
// 0 to 2 are read, converted and written back as version 3 at once; a file
// of a later version is refused.
//
// Passwords never reach the settings file. The encryption password is a
// generic password in the credential store (service "Quorvel Varid",
// account = UUID); the destination server's password is an Internet password
// keyed by the destination URL. The controller keeps the URL without its
// password and no encryption password of its own: destinationURL() and
// encryptionPassword() fill them in from the store, so the engine, copies and
// the interface get them while the settings never hold them.
//
// Change tracking. A backup observes its own settings; a change marks it
// changed (hasChanges), and saveToDiskIfNecessary writes it. Nothing is
// written at the moment of a change.
//
// Threads. Backups are created, changed, saved and deleted on the main
// thread. The engine's threads read the settings through the controller's
// accessors (source, destinationURL(), encryptionPassword(), segment size
// and the like), which are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupController.h"
#include "model/platform/NetworkConfiguration.h"
#include "foundation/Date.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Predicate.h"
#include "foundation/Url.h"
#include "foundation/Value.h"
#include "model/ItemInfo.h"

namespace quorvel {

class Keychain;
class KeyedUnarchiver;

// The keychain service of encryption passwords.
inline constexpr const char* kBackupKeychainService = "Quorvel Varid";
// The settings file in a backup's folder, and the options file beside it
// (settings this system adds, kept out of the settings file so that its keys
// stay those every version reads).
inline constexpr const char* kBackupSettingsFileName = "Settings.data";
inline constexpr const char* kBackupOptionsFileName = "Options.plist";
// The version settings files are written with.
inline constexpr int kBackupSettingsVersion = 3;
// The application's string table (type names, copy names, display formats).
inline constexpr const char* kBackupStringTable = "Backup";
// Segment sizes (MiB) a backup accepts, and the size of a new backup.
inline constexpr std::int64_t kMinimumSegmentSize = 1;
inline constexpr std::int64_t kMaximumSegmentSize = 128;
inline constexpr std::uint32_t kDefaultSegmentSize = 50;

// History entries a backup keeps; older ones go with their reports.
inline constexpr std::size_t kMaximumHistoryLength = 200;

// Display texts. Size: "SIZE_KB" with bytes / 1024 + 1 below 1 MiB,
// "SIZE_MB" with MiB below 1 GiB, "SIZE_GB" with GiB. Duration (under a
// second counts as one): "DURATION_S" (seconds, 0), "DURATION_M" (minutes,
// seconds) or "DURATION_H" (hours, minutes), all doubles. Count and size:
// "COUNT_AND_SIZE" with the count and the size text.
std::string StringFromSize(std::uint64_t bytes);
std::string StringFromDuration(double seconds);
std::string StringFromCountAndSize(std::uint64_t count, std::uint64_t bytes);

// The settings folder: $QUORVEL_HOME when set, else $XDG_DATA_HOME/Quorvel
// Varid, else ~/.local/share/Quorvel Varid. Read from the environment at
// every call.
std::string SettingsFolder();

class Backup : public RemoteBackupController {
 public:
  // init: a new backup with a fresh UUID, created now, digests on, the
  // default segment size, empty history; marked changed (not yet saved).
  static std::shared_ptr<Backup> create();
  // initWithBackup: a new backup (new UUID and folder) with the other's
  // source, destination (with its server password), digests, .DS_Store
  // handling, segment size, exclusions (cache folders included) and
  // schedule; named by the
  // "BACKUP_COPY_NAME" format. Not copied: the encryption password, the lock
  // flag, the results and the history.
  static std::shared_ptr<Backup> initWithBackup(const Backup& other);
  // initWithDestinationResults:withEncryptionPassword:atURL: - the backup
  // whose snapshot a checkDestination command found at `url`: UUID, source,
  // digests, .DS_Store handling, exclusions and segment size as the snapshot
  // records them, one history entry for the check, the file tree and the
  // last results. Null when the results hold no snapshot or the snapshot no
  // UUID.
  static std::shared_ptr<Backup> initWithDestinationResults(const Dictionary& results,
                                                            const std::optional<std::string>& encryptionPassword,
                                                            const Url& url);
  // initWithCoder: the backup a settings file holds, or null (logged) when
  // its version is newer than this program's or it has no UUID. Files of an
  // older version are converted (the backup is marked changed);
  // loadFromFolder writes them again at once.
  static std::shared_ptr<Backup> initWithCoder(KeyedUnarchiver& coder);
  // Reads one backup folder's settings file and its options; null (logged)
  // when the settings cannot be read.
  static std::shared_ptr<Backup> loadFromFolder(const std::string& folder);

  // Every backup stored in the settings folder (created when missing), in
  // the order of their folders' names; folders whose settings cannot be read
  // are skipped with a log line. Nothing (logged) when the settings folder
  // cannot be created or listed.
  static std::optional<std::vector<std::shared_ptr<Backup>>> loadAllBackupsFromDisk();
  // Writes the settings file when the backup has changes: creates the
  // backup's folder when missing, clears what writers killed earlier left
  // there, replaces the options file and then the settings file atomically,
  // and clears hasChanges. A failure is logged, leaves the old file, and keeps
  // hasChanges, so that the next save point tries again. True when the file
  // was written or nothing needed writing.
  bool saveToDiskIfNecessary();
  // Removes the encryption password from the credential store and the
  // backup's folder with everything in it. The server password stays in the
  // store (other backups may use it). False (logged) when the folder cannot
  // be removed.
  bool deleteFromDisk();

  ~Backup() override;

  // Identity.
  const std::string& uuid() const { return uuid_; }
  Date creationDate() const { return creationDate_; }
  // The backup's folder: SettingsFolder()/uuid at the time of creation.
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  void setName(const std::string& name);
  bool isLocked() const { return locked_; }
  void setLocked(bool locked);

  // Source directory (also recomputes the core exclusions).
  void setSourceDirectoryPath(const std::string& path);

  // The destination with its server password from the credential store
  // (when one is stored); null when none is set. Any thread.
  std::shared_ptr<const Url> destinationURL() const override;
  // Keeps the URL without its password; a password in the URL goes to the
  // credential store (replacing what it held for that URL), and
  // hasURLPassword tells whether there was one. Also sets type and info.
  void setDestinationURL(const Url& url);
  void setDestinationURL(std::shared_ptr<const Url> url);
  // The URL as the controller keeps it: without its password.
  std::shared_ptr<const Url> destinationURLWithoutPassword() const;
  bool hasURLPassword() const { return hasURLPassword_.load(); }
  // Destination type code of the URL (DestinationType).
  int destinationType() const { return type_; }

  // The encryption password, read from the credential store once and kept;
  // nothing when none is stored (or the store has lost it). Any thread.
  std::optional<std::string> encryptionPassword() const override;
  // Replaces the stored password (nothing or empty: none).
  void setEncryptionPassword(const std::optional<std::string>& password);
  bool hasEncryptionPassword() const { return hasEncryptionPassword_.load(); }

  // MiB; also updates info "segmentSize". Callers validate first.
  void setMaximumSegmentSize(std::uint32_t mebibytes);

  // validateMaximumSegmentSize: 1 or less becomes 1, above 128 becomes 128.
  static std::uint32_t validateMaximumSegmentSize(std::int64_t mebibytes);
  // validateScheduleInterval: a value not greater than 0 becomes 0.
  static double validateScheduleInterval(double seconds);

  // User exclusions: paths relative to the source, sorted, no duplicates.
  const std::vector<std::string>& extraExcludedPaths() const { return extraExcludedPaths_; }
  void setExtraExcludedPaths(std::vector<std::string> paths);
  // addExtraExcludedPath: adds an existing item strictly inside the source
  // (an absolute path); false when it does not exist, is not inside the
  // source, or is listed already.
  bool addExtraExcludedPath(const std::string& path);
  // removeExtraExcludedPath: removes the entry naming this absolute path,
  // if any.
  void removeExtraExcludedPath(const std::string& path);
  // Derived exclusions (see Exclusions.h), relative to the source;
  // recomputed when the source is set and by updateCoreExcludedPaths.
  const std::vector<std::string>& coreExcludedPaths() const { return coreExcludedPaths_; }
  void updateCoreExcludedPaths();
  // File URLs of the source joined with each core exclusion that exists
  // now, and with each user exclusion (existing or not).
  std::vector<Url> coreExcludedURLs() const;
  std::vector<Url> extraExcludedURLs() const;
  // What a scan leaves out: the core exclusions recomputed now, then the
  // user's.
  std::vector<std::string> exclusionPaths();
  // The exclusion predicate of checkSource, testBackup and performBackup:
  // true for an item whose "PATH" equals one of exclusionPaths() (case
  // ignored); null when there are none.
  PredicatePtr exclusionPredicateForScan();
  // Whether directories tagged with a CACHEDIR.TAG file are left out (on
  // for every new backup). Kept in the backup's "Options.plist", next to
  // its settings file.
  void setExcludeCacheDirectories(bool exclude);

  // Schedule.
  bool scheduleOnLaunch() const { return scheduleOnLaunch_; }
  void setScheduleOnLaunch(bool value);
  bool scheduleOnConnection() const { return scheduleOnConnection_; }
  void setScheduleOnConnection(bool value);
  bool scheduleDaily() const { return scheduleDaily_; }
  void setScheduleDaily(bool value);
  // Seconds; 0 for none.
  double scheduleInterval() const { return scheduleInterval_; }
  void setScheduleInterval(double seconds);
  // Seconds after midnight.
  double scheduleTime() const { return scheduleTime_; }
  void setScheduleTime(double seconds);
  const PredicatePtr& schedulePredicate() const { return schedulePredicate_; }
  void setSchedulePredicate(PredicatePtr predicate);
  // The next scheduled run; none until updateScheduleDate() computed one.
  std::optional<Date> nextScheduleDate() const { return scheduleDate_; }
  // Recomputes nextScheduleDate() from the schedule and the last backup
  // (ScheduleDate.h). `now` is given so that callers and tests own the clock.
  void updateScheduleDate(Date now);
  // The "date" of the newest "performBackup" history entry, if any.
  std::optional<Date> lastBackupDate() const;
  // canBackupNow: kRunNow, kNotThisTime (the schedule conditions say skip)
  // or kWait (the encryption password is missing from the credential
  // store), as BackupQueue asks. The conditions are evaluated with the
  // values of `now` (ScheduleConditions.h); the other form reads the clock,
  // the network and the power supplies.
  int canBackupNow(Date now, const NetworkConfiguration& network, const PowerState& power) const;
  int canBackupNow() const;

  // Results (BackupResults.cpp).
  //
  // processResults:forCommand:wasCancelled: - called when a command of
  // number 3 to 8 has finished: writes the report ("%Y-%m-%d-%H%M%S.plist.gz"
  // in the backup's folder, from the results' "startDate" in local time; a
  // second report of the same second gets "-2", "-3" ... before ".plist.gz"),
  // puts the history entry ("command", "success" unless cancelled, "date",
  // "errorCount", "fileName" when the report was written) at the front of
  // previousResults, drops the oldest entries (and their reports) beyond
  // kMaximumHistoryLength, and after a success keeps the last results and
  // the file tree (performBackup) or forgets them (deleteBackup, which also
  // empties the history first). Saves the settings.
  void processResults(const Dictionary& results, int command, bool wasCancelled);
  // resetPreviousResults: empties the history and deletes its reports; with
  // keepLast the entry of the last successful backup stays.
  void resetPreviousResults(bool keepLast);
  // The report a history entry names, or nothing when it names none or the
  // file cannot be read.
  std::optional<Dictionary> reportForEntry(const Dictionary& entry) const;
  // A report as text: per key in ascending order "key = value", arrays as
  // "key = {" with one tab-indented line per element and "}".
  static std::string reportText(const Dictionary& report);
  // "GrayDot", "RedDot", "OrangeDot" or "GreenDot" (nothing while running).
  std::string statusImage() const;

  // Stores a copy and refreshes the display values in info.
  const std::optional<Dictionary>& lastBackupResults() const { return lastBackupResults_; }
  void setLastBackupResults(const std::optional<Dictionary>& results);
  // History, newest first.
  const Array& previousResults() const { return previousResults_; }
  const std::shared_ptr<const ItemInfo>& filesHierarchy() const { return filesHierarchy_; }
  void setFilesHierarchy(std::shared_ptr<const ItemInfo> tree) { filesHierarchy_ = std::move(tree); }

  // Display values ("host", "path", "login", "type", "segmentSize", ...).
  const Dictionary& info() const { return info_; }

  bool hasChanges() const { return hasChanges_; }
  void setHasChanges(bool changed) { hasChanges_ = changed; }

  // "%@: %@ -> %@ (%@)": name, source, destination without password, next
  // scheduled run.
  std::string description() const;

  // The settings the engine stores with every backup's snapshot (argument
  // "scannerUserInfo" of performBackup), from which the backup can be
  // re-created later.
  Dictionary scannerUserInfo() const;

  Value valueForKey(const std::string& key) const override;

  // Keys whose changes mark a backup as changed, and keys that move its
  // schedule.
  static const std::vector<std::string>& keyPathsAffectingChanges();
  static const std::vector<std::string>& keyPathsAffectingSchedule();

  // The store passwords go to; the shared one unless a test sets another
  // (which must outlive every backup).
  static Keychain& keychain();
  static void setKeychain(Keychain* keychain);

 protected:
  Backup();

 private:
  // _initWithUUID:creationDate: - null for an empty UUID.
  static std::shared_ptr<Backup> initWithUUID(const std::string& uuid, Date creationDate);
  void observeOwnChanges();
  void updateInfoForDestination(const Url& url);
  void updateInfoForSegmentSize();
  void updateInfoForLastResults();
  // The options beside the settings file: written before it, read after it.
  bool saveOptions();
  void loadOptions();
  // Adds an entry at the front of the history, dropping entries (and their
  // reports) beyond the maximum length.
  void insertHistoryEntry(Dictionary entry);
  void deleteReport(const Value& entry);
  // Writes a report; its file name, or nothing (logged) on failure.
  std::optional<std::string> writeReport(const Dictionary& results) const;
  // Applies the values of a settings file after identity is set.
  void decodeSettings(KeyedUnarchiver& coder, std::int64_t version);
  // The settings file's bytes, or nothing (with the reason) when the backup
  // cannot be archived.
  std::optional<Data> archivedSettings(std::string* error) const;
  void encodeSettings(KeyedArchiver& archiver) const;

  std::string uuid_;
  Date creationDate_;
  std::string name_;
  bool locked_ = false;
  std::atomic<bool> hasEncryptionPassword_{false};
  std::optional<Dictionary> lastBackupResults_;
  Array previousResults_;
  std::vector<std::string> extraExcludedPaths_;
  std::shared_ptr<const ItemInfo> filesHierarchy_;
  bool scheduleOnLaunch_ = false;
  bool scheduleOnConnection_ = false;
  bool scheduleDaily_ = false;
  double scheduleInterval_ = 0;
  double scheduleTime_ = 0;
  PredicatePtr schedulePredicate_;
  std::atomic<bool> hasURLPassword_{false};
  bool hasChanges_ = false;
  int type_ = 0;
  std::string path_;
  Dictionary info_;
  std::vector<std::string> coreExcludedPaths_;
  std::optional<Date> scheduleDate_;
  // Settings of an older version read: written again once loaded.
  bool needsUpgrade_ = false;
  // The encryption password read from the store, while hasEncryptionPassword.
  mutable std::mutex passwordMutex_;
  mutable std::optional<std::string> cachedPassword_;
  std::vector<ObserverToken> observations_;
};

}  // namespace quorvel
