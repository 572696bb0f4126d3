#include "model/Backup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <filesystem>
#include <mutex>

#include "engine/BackupCommandOperation.h"
#include "foundation/AtomicFile.h"
#include "foundation/Format.h"
#include "foundation/Keychain.h"
#include "foundation/KeyedUnarchiver.h"
#include "foundation/LocalizedString.h"
#include "foundation/Posix.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "model/DestinationType.h"
#include "model/Exclusions.h"
#include "model/IncompressibleExtensions.h"
#include "model/PredicateConversion.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/PathOrder.h"

namespace quorvel {

namespace {

// Keys of the settings file, in the order they are written.
constexpr const char* kVersionKey = "version";
constexpr const char* kUUIDKey = "uuid";
constexpr const char* kCreationDateKey = "creationDate";
constexpr const char* kHasEncryptionPasswordKey = "hasEncryptionPassword";
constexpr const char* kSourceDirectoryPathKey = "sourceDirectoryPath";
constexpr const char* kDestinationURLKey = "destinationURL";
constexpr const char* kComputeFileDigestsKey = "computeFileDigests";
constexpr const char* kPreserveDSStoreFilesKey = "preserveDSStoreFiles";
constexpr const char* kExtraExcludedPathsKey = "extraExcludedPaths";
constexpr const char* kMaximumSegmentSizeKey = "maximumSegmentSize";
constexpr const char* kScheduleOnLaunchKey = "scheduleOnLaunch";
constexpr const char* kScheduleOnConnectionKey = "scheduleOnConnection";
constexpr const char* kScheduleIntervalKey = "scheduleInterval";
constexpr const char* kScheduleDailyKey = "scheduleDaily";
constexpr const char* kScheduleTimeKey = "scheduleTime";
constexpr const char* kSchedulePredicateKey = "schedulePredicate";
constexpr const char* kLockedKey = "locked";
constexpr const char* kHasURLPasswordKey = "hasURLPassword";
constexpr const char* kNameKey = "name";
constexpr const char* kFilesHierarchyKey = "filesHierarchy";
constexpr const char* kLastBackupResultsKey = "lastBackupResults";
constexpr const char* kPreviousResultsKey = "previousResults";

// The class the settings file's root object is stored under.
constexpr const char* kBackupClassName = "Backup";

// This build knows no hosted WebDAV disk service: every "http" destination
// is a WebDAV server.
constexpr const char* kHostedDiskHost = "";

// Helper steps at once for a backup's commands.
constexpr std::uint32_t kDefaultSimultaneousSegments = 4;

Keychain* gKeychain = nullptr;

// The extensions every backup archives without compression, read once.
const std::vector<std::string>& IncompressibleExtensionsForBackups() {
  static const std::vector<std::string> extensions = [] {
    Expected<std::vector<std::string>> loaded = LoadIncompressibleExtensions();
    if (loaded) return *loaded;
    SystemLog("%s: %@", __func__, loaded.status().message());
    return std::vector<std::string>();
  }();
  return extensions;
}

// The URL without its password, keeping query and fragment (they carry
// destination options such as the TLS settings).
Url WithoutPassword(const Url& url) {
  if (!url.hasPassword()) return url;
  std::optional<Url> bare = url.URLByDeletingPassword();
  if (!bare) return url;
  std::string text = bare->absoluteString();
  if (url.hasQuery()) text += "?" + url.query();
  if (url.hasFragment()) text += "#" + url.fragment();
  std::optional<Url> full = Url::URLWithString(text);
  return full ? *full : *bare;
}

std::string DisplayText(const std::shared_ptr<const Url>& url) {
  if (!url) return "(null)";
  std::optional<Url> shown = url->URLByDeletingUserAndPassword();
  return shown ? shown->absoluteString() : url->absoluteString();
}

// The root object of a settings file: writes a backup's keys, and carries
// the backup a file decodes to.
class BackupArchive : public Object, public KeyedCoding {
 public:
  explicit BackupArchive(std::function<void(KeyedArchiver&)> encode) : encode_(std::move(encode)) {}
  explicit BackupArchive(std::shared_ptr<Backup> backup) : backup_(std::move(backup)) {}

  std::string className() const override { return kBackupClassName; }
  void encodeWithCoder(KeyedArchiver& archiver) const override { encode_(archiver); }
  const std::shared_ptr<Backup>& backup() const { return backup_; }

 private:
  std::function<void(KeyedArchiver&)> encode_;
  std::shared_ptr<Backup> backup_;
};

void RegisterBackupCoding() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterItemInfoCoding();
    KeyedUnarchiver::registerClass(kBackupClassName, [](KeyedUnarchiver& coder) -> Value {
      std::shared_ptr<Backup> backup = Backup::initWithCoder(coder);
      if (!backup) return Value();
      return Value(std::make_shared<BackupArchive>(std::move(backup)));
    });
  });
}

std::vector<std::string> StringsOf(const Value& value) {
  std::vector<std::string> texts;
  for (const Value& element : value.asArray()) {
    if (element.isString()) texts.push_back(element.asString());
  }
  return texts;
}

Array ArrayOf(const std::vector<std::string>& texts) {
  Array array;
  array.reserve(texts.size());
  for (const std::string& text : texts) array.emplace_back(text);
  return array;
}

// A whole file, or nothing with the reason in *error.
std::optional<Data> ReadWholeFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = ErrnoText(errno);
    return std::nullopt;
  }
  Data data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "read error";
    return std::nullopt;
  }
  return data;
}

// Removes what writers that died while replacing a file in `folder` left
// behind: "<name>.XXXXXX" beside the settings and options files, older than
// a writer that is still at work could be.
void RemoveAbandonedTemporaryFiles(const std::string& folder) {
  const auto now = std::filesystem::file_time_type::clock::now();
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    bool temporary = false;
    for (const std::string base : {kBackupSettingsFileName, kBackupOptionsFileName}) {
      temporary = temporary || (name.size() == base.size() + 7 && name.starts_with(base + "."));
    }
    std::error_code ignored;
    if (temporary && now - it->last_write_time(ignored) > std::chrono::seconds(1)) {
      std::filesystem::remove(it->path(), ignored);
    }
  }
}

bool CreateFolder(const std::string& folder, const char* function) {
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return true;
  std::filesystem::create_directories(folder, error);
  if (error) {
    SystemLog("%s: Failed creating directory \"%@\": %@", function, folder, error.message());
    return false;
  }
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
  return true;
}

}  // namespace

std::string SettingsFolder() {
  if (const char* home = std::getenv("QUORVEL_HOME"); home && *home) return home;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return std::string(data) + "/Quorvel Varid";
  const char* userHome = std::getenv("HOME");
  if (!userHome || !*userHome) {
    const passwd* entry = getpwuid(getuid());
    userHome = entry && entry->pw_dir ? entry->pw_dir : "/";
  }
  return std::string(userHome) + "/.local/share/Quorvel Varid";
}

// ---------------------------------------------------------------------------
// Creation

Backup::Backup() = default;

Backup::~Backup() {
  for (const ObserverToken& token : observations_) removeObserver(token);
}

std::shared_ptr<Backup> Backup::initWithUUID(const std::string& uuid, Date creationDate) {
  if (uuid.empty()) return nullptr;
  std::shared_ptr<Backup> backup(new Backup());
  backup->setIncompressibleExtensions(IncompressibleExtensionsForBackups());
  backup->setMaximumSimultaneousSegments(kDefaultSimultaneousSegments);
  backup->RemoteBackupController::setExcludeCacheDirectories(true);
  backup->uuid_ = uuid;
  backup->creationDate_ = creationDate;
  backup->path_ = SettingsFolder() + "/" + uuid;
  backup->observeOwnChanges();
  return backup;
}

std::shared_ptr<Backup> Backup::create() {
  std::shared_ptr<Backup> backup = initWithUUID(NewUUIDText(), Date::now());
  backup->setComputeFileDigests(true);
  backup->setMaximumSegmentSize(kDefaultSegmentSize);
  backup->hasChanges_ = true;
  return backup;
}

std::shared_ptr<Backup> Backup::initWithBackup(const Backup& other) {
  std::shared_ptr<Backup> backup = create();
  backup->setSourceDirectoryPath(other.sourceDirectoryPath());
  if (std::shared_ptr<const Url> url = other.destinationURL()) backup->setDestinationURL(*url);
  backup->setComputeFileDigests(other.computeFileDigests());
  backup->setPreserveDSStoreFiles(other.preserveDSStoreFiles());
  backup->setMaximumSegmentSize(other.maximumSegmentSize());
  backup->setExtraExcludedPaths(other.extraExcludedPaths());
  backup->setExcludeCacheDirectories(other.excludeCacheDirectories());
  backup->setScheduleOnLaunch(other.scheduleOnLaunch());
  backup->setScheduleOnConnection(other.scheduleOnConnection());
  backup->setScheduleDaily(other.scheduleDaily());
  backup->setScheduleInterval(other.scheduleInterval());
  backup->setScheduleTime(other.scheduleTime());
  backup->setSchedulePredicate(other.schedulePredicate());
  backup->setName(Format(LocalizedString(kBackupStringTable, "BACKUP_COPY_NAME"), other.name()));
  return backup;
}

std::shared_ptr<Backup> Backup::initWithDestinationResults(const Dictionary& results,
                                                           const std::optional<std::string>& encryptionPassword,
                                                           const Url& url) {
  std::shared_ptr<DirectoryScanner> snapshot = results.get("directoryScanner").object<DirectoryScanner>();
  if (!snapshot) return nullptr;
  const Value& uuid = snapshot->userInfoForKey(kBackupUUIDInfo);
  std::shared_ptr<Backup> backup = initWithUUID(uuid.isString() ? uuid.asString() : std::string(), Date::now());
  if (!backup) return nullptr;

  backup->setEncryptionPassword(encryptionPassword);
  const std::string source = snapshot->userInfoForKey(kSourceDirectoryPathInfo).isString()
                                 ? snapshot->userInfoForKey(kSourceDirectoryPathInfo).asString()
                                 : std::string();
  backup->setSourceDirectoryPath(source);
  backup->setDestinationURL(url);
  backup->setComputeFileDigests(snapshot->userInfoForKey(kComputeFileDigestsInfo).asBool());
  backup->setPreserveDSStoreFiles(snapshot->userInfoForKey(kPreserveDSStoreFilesInfo).asBool());
  backup->setExtraExcludedPaths(StringsOf(snapshot->userInfoForKey(kExtraExcludedPathsInfo)));
  backup->setMaximumSegmentSize(
      validateMaximumSegmentSize(static_cast<std::int64_t>(snapshot->userInfoForKey(kMaximumSegmentSizeInfo).asUInt())));
  backup->setName(std::filesystem::path(source).stem().string());

  const Array& dates = snapshot->userInfoForKey("backup.dates").asArray();
  const Value& messages = snapshot->userInfoForKey("backup.errorMessages");
  Dictionary entry;
  entry.set("command", "checkDestination");
  entry.set("success", true);
  if (!dates.empty()) entry.set("date", dates.back());
  entry.set("errorCount", static_cast<std::uint64_t>(messages.asArray().size()));
  backup->previousResults_ = Array{Value(std::move(entry))};

  snapshot->setSortPaths(true);
  backup->filesHierarchy_ = ItemInfo::treeOfSnapshot(*snapshot);

  Dictionary last;
  last.set("success", true);
  last.set("errorMessages", messages.isArray() ? messages : Value(Array{}));
  for (const char* key : {"sourceFiles", "sourceDirectories", "sourceSize", "destinationFiles", "destinationSize"}) {
    if (const Value* value = results.find(key)) last.set(key, *value);
  }
  for (const char* key : {"excludedPaths", "changedPaths", "copiedPaths", "skippedPaths"}) {
    const Value& paths = snapshot->userInfoForKey(std::string("backup.") + key);
    if (paths.isArray()) last.set(key, paths);
  }
  backup->setLastBackupResults(last);
  backup->hasChanges_ = true;
  return backup;
}

void Backup::observeOwnChanges() {
  for (const std::string& key : keyPathsAffectingChanges()) {
    observations_.push_back(addObserver(key, 0, [this](const ObservedChange&) { hasChanges_ = true; }));
  }
  setKeyPathsForValuesAffectingValueForKey("info", {"destinationURL", "maximumSegmentSize", "lastBackupResults"});
  setKeyPathsForValuesAffectingValueForKey("extraExcludedURLs", {"extraExcludedPaths"});
  setKeyPathsForValuesAffectingValueForKey("destinationType", {"destinationURL"});
}

const std::vector<std::string>& Backup::keyPathsAffectingChanges() {
  // "computeFileDigests" and "maximumSegmentSize" are stored like every
  // other setting, so changing them alone must be saved too.
  static const std::vector<std::string> keys = {
      "name", "locked", "allowsMultipleConnections", "sourceDirectoryPath", "destinationURL",
      "exclusionPredicate", "extraExcludedPaths", "extraExclusionPredicate", "encryptionPassword",
      "excludeHiddenItems", "preserveDSStoreFiles", "preExecutablePath", "postExecutablePath",
      "runPostExecutableOnFailure", "scheduleOnLaunch", "scheduleOnConnection", "scheduleDaily",
      "scheduleInterval", "scheduleTime", "schedulePredicate", "previousResults", "computeFileDigests",
      "maximumSegmentSize", "excludeCacheDirectories"};
  return keys;
}

const std::vector<std::string>& Backup::keyPathsAffectingSchedule() {
  static const std::vector<std::string> keys = {"scheduleDaily", "scheduleTime", "scheduleInterval"};
  return keys;
}

Keychain& Backup::keychain() { return gKeychain ? *gKeychain : Keychain::sharedKeychain(); }

void Backup::setKeychain(Keychain* keychain) { gKeychain = keychain; }

// ---------------------------------------------------------------------------
// Plain settings

void Backup::setName(const std::string& name) { setAndAnnounce("name", name_, name); }

void Backup::setLocked(bool locked) { setAndAnnounce("locked", locked_, locked); }

void Backup::setSourceDirectoryPath(const std::string& path) {
  RemoteBackupController::setSourceDirectoryPath(path);
  updateCoreExcludedPaths();
}

void Backup::setMaximumSegmentSize(std::uint32_t mebibytes) {
  RemoteBackupController::setMaximumSegmentSize(mebibytes);
  updateInfoForSegmentSize();
}

std::uint32_t Backup::validateMaximumSegmentSize(std::int64_t mebibytes) {
  if (mebibytes <= kMinimumSegmentSize) return static_cast<std::uint32_t>(kMinimumSegmentSize);
  if (mebibytes > kMaximumSegmentSize) return static_cast<std::uint32_t>(kMaximumSegmentSize);
  return static_cast<std::uint32_t>(mebibytes);
}

double Backup::validateScheduleInterval(double seconds) { return seconds > 0 ? seconds : 0; }

void Backup::setExtraExcludedPaths(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  setAndAnnounce("extraExcludedPaths", extraExcludedPaths_, std::move(paths));
}

void Backup::setScheduleOnLaunch(bool value) { setAndAnnounce("scheduleOnLaunch", scheduleOnLaunch_, value); }
void Backup::setScheduleOnConnection(bool value) {
  setAndAnnounce("scheduleOnConnection", scheduleOnConnection_, value);
}
void Backup::setScheduleDaily(bool value) { setAndAnnounce("scheduleDaily", scheduleDaily_, value); }
void Backup::setScheduleInterval(double seconds) { setAndAnnounce("scheduleInterval", scheduleInterval_, seconds); }
void Backup::setScheduleTime(double seconds) { setAndAnnounce("scheduleTime", scheduleTime_, seconds); }
void Backup::setSchedulePredicate(PredicatePtr predicate) {
  setAndAnnounce("schedulePredicate", schedulePredicate_, std::move(predicate));
}

void Backup::updateInfoForSegmentSize() {
  willChangeValueForKey("info");
  info_.set("segmentSize",
            Format(LocalizedString(kBackupStringTable, "SIZE_MB"), static_cast<double>(maximumSegmentSize())));
  didChangeValueForKey("info");
}

std::string Backup::description() const {
  return Format("%@: %@ -> %@ (%@)", name_, sourceDirectoryPath(), DisplayText(destinationURLWithoutPassword()),
                scheduleDate_ ? Value(*scheduleDate_) : Value());
}

Dictionary Backup::scannerUserInfo() const {
  Dictionary info;
  info.set(kBackupUUIDInfo, uuid_);
  info.set(kSourceDirectoryPathInfo, sourceDirectoryPath());
  info.set(kComputeFileDigestsInfo, computeFileDigests());
  info.set(kPreserveDSStoreFilesInfo, preserveDSStoreFiles());
  info.set(kExtraExcludedPathsInfo, ArrayOf(extraExcludedPaths_));
  info.set(kMaximumSegmentSizeInfo, static_cast<std::uint64_t>(maximumSegmentSize()));
  return info;
}

Value Backup::valueForKey(const std::string& key) const {
  if (key == "uuid") return uuid_;
  if (key == "name") return name_;
  if (key == "locked") return locked_;
  if (key == "hasChanges") return hasChanges_;
  if (key == "hasEncryptionPassword") return hasEncryptionPassword();
  if (key == "hasURLPassword") return hasURLPassword();
  if (key == "destinationType") return type_;
  if (key == "extraExcludedPaths") return ArrayOf(extraExcludedPaths_);
  if (key == "coreExcludedPaths") return ArrayOf(coreExcludedPaths_);
  if (key == "scheduleOnLaunch") return scheduleOnLaunch_;
  if (key == "scheduleOnConnection") return scheduleOnConnection_;
  if (key == "scheduleDaily") return scheduleDaily_;
  if (key == "scheduleInterval") return scheduleInterval_;
  if (key == "scheduleTime") return scheduleTime_;
  if (key == "schedulePredicate") return schedulePredicate_ ? Value(schedulePredicate_) : Value();
  if (key == "info") return info_;
  if (key == "previousResults") return previousResults_;
  if (key == "lastBackupResults") return lastBackupResults_ ? Value(*lastBackupResults_) : Value();
  if (key == "computeFileDigests") return computeFileDigests();
  if (key == "maximumSegmentSize") return static_cast<std::uint64_t>(maximumSegmentSize());
  return RemoteBackupController::valueForKey(key);
}

// ---------------------------------------------------------------------------
// Destination and passwords

std::shared_ptr<const Url> Backup::destinationURLWithoutPassword() const {
  return RemoteBackupController::destinationURL();
}

std::shared_ptr<const Url> Backup::destinationURL() const {
  std::shared_ptr<const Url> url = destinationURLWithoutPassword();
  if (!url || !hasURLPassword()) return url;
  return std::make_shared<const Url>(keychain().URLWithPasswordForURL(*url));
}

void Backup::setDestinationURL(std::shared_ptr<const Url> url) {
  if (url) {
    setDestinationURL(*url);
    return;
  }
  RemoteBackupController::setDestinationURL(std::shared_ptr<const Url>());
  hasURLPassword_.store(false);
  type_ = kDestinationTypeFolder;
  willChangeValueForKey("info");
  for (const char* key : {"host", "path", "login", "type"}) info_.erase(key);
  didChangeValueForKey("info");
}

void Backup::setDestinationURL(const Url& url) {
  bool stored = false;
  if (!url.password().empty()) {
    // Adding keeps an existing item: a changed password replaces the old one.
    keychain().removePasswordForURL(url);
    stored = keychain().addPasswordForURL(url);
  }
  hasURLPassword_.store(stored);
  RemoteBackupController::setDestinationURL(WithoutPassword(url));
  type_ = DestinationTypeFromURL(url, kHostedDiskHost);
  updateInfoForDestination(url);
}

void Backup::updateInfoForDestination(const Url& url) {
  willChangeValueForKey("info");
  info_.set("host", url.host());
  info_.set("path", url.path());
  info_.set("login", url.user());
  info_.set("type", LocalizedString(kBackupStringTable, "DESTINATION_TYPE_" + std::to_string(type_)));
  didChangeValueForKey("info");
}

std::optional<std::string> Backup::encryptionPassword() const {
  std::lock_guard<std::mutex> lock(passwordMutex_);
  if (!hasEncryptionPassword()) return std::nullopt;
  if (!cachedPassword_) cachedPassword_ = keychain().genericPasswordForService(kBackupKeychainService, uuid_);
  if (cachedPassword_ && cachedPassword_->empty()) return std::nullopt;
  return cachedPassword_;
}

void Backup::setEncryptionPassword(const std::optional<std::string>& password) {
  if (hasEncryptionPassword()) keychain().removeGenericPasswordForService(kBackupKeychainService, uuid_);
  // Announces the change; the controller itself keeps no password.
  EncryptedBackupController::setEncryptionPassword(std::nullopt);
  const bool has = password && !password->empty();
  hasEncryptionPassword_.store(has);
  if (has) keychain().addGenericPassword(*password, kBackupKeychainService, uuid_);
  std::lock_guard<std::mutex> lock(passwordMutex_);
  cachedPassword_.reset();
}

// ---------------------------------------------------------------------------
// Exclusions

void Backup::updateCoreExcludedPaths() {
  willChangeValueForKey("coreExcludedURLs");
  coreExcludedPaths_.clear();
  const std::string source = StandardizePath(sourceDirectoryPath());
  if (!source.empty()) {
    if (std::optional<ExclusionList> list = ApplicationExclusionList()) {
      coreExcludedPaths_ = CoreExcludedPaths(source, *list, ExclusionEnvironment::current());
    }
  }
  didChangeValueForKey("coreExcludedURLs");
}

bool Backup::addExtraExcludedPath(const std::string& path) {
  const std::string source = StandardizePath(sourceDirectoryPath());
  struct stat status;
  if (source.empty() || ::lstat(path.c_str(), &status) != 0 || !IsSubpathOfPath(path, source)) return false;
  const std::size_t skip = source == "/" ? 1 : source.size() + 1;
  if (path.size() <= skip) return false;
  const std::string relative = path.substr(skip);
  if (std::find(extraExcludedPaths_.begin(), extraExcludedPaths_.end(), relative) != extraExcludedPaths_.end()) {
    return false;
  }
  std::vector<std::string> paths = extraExcludedPaths_;
  paths.push_back(relative);
  setExtraExcludedPaths(std::move(paths));
  return true;
}

void Backup::removeExtraExcludedPath(const std::string& path) {
  const std::string source = StandardizePath(sourceDirectoryPath());
  for (auto it = extraExcludedPaths_.begin(); it != extraExcludedPaths_.end(); ++it) {
    if ((source == "/" ? "/" : source + "/") + *it == path) {
      std::vector<std::string> paths = extraExcludedPaths_;
      paths.erase(paths.begin() + (it - extraExcludedPaths_.begin()));
      setExtraExcludedPaths(std::move(paths));
      return;
    }
  }
}

std::vector<Url> Backup::coreExcludedURLs() const {
  const std::string source = StandardizePath(sourceDirectoryPath());
  std::vector<Url> urls;
  for (const std::string& relative : coreExcludedPaths_) {
    const std::string path = (source == "/" ? "/" : source + "/") + relative;
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0) urls.push_back(Url::fileURLWithPath(path));
  }
  return urls;
}

std::vector<Url> Backup::extraExcludedURLs() const {
  const std::string source = StandardizePath(sourceDirectoryPath());
  std::vector<Url> urls;
  for (const std::string& relative : extraExcludedPaths_) {
    urls.push_back(Url::fileURLWithPath((source == "/" ? "/" : source + "/") + relative));
  }
  return urls;
}

std::vector<std::string> Backup::exclusionPaths() {
  updateCoreExcludedPaths();
  std::vector<std::string> paths = coreExcludedPaths_;
  paths.insert(paths.end(), extraExcludedPaths_.begin(), extraExcludedPaths_.end());
  return paths;
}

PredicatePtr Backup::exclusionPredicateForScan() {
  return DirectoryScanner::exclusionPredicateWithPaths(exclusionPaths(), {});
}

void Backup::setExcludeCacheDirectories(bool exclude) { RemoteBackupController::setExcludeCacheDirectories(exclude); }

// ---------------------------------------------------------------------------
// The settings file

void Backup::encodeSettings(KeyedArchiver& archiver) const {
  std::shared_ptr<const Url> url = destinationURLWithoutPassword();
  archiver.encodeInt(kBackupSettingsVersion, kVersionKey);
  archiver.encodeObject(Value(uuid_), kUUIDKey);
  archiver.encodeObject(Value(creationDate_), kCreationDateKey);
  archiver.encodeBool(hasEncryptionPassword(), kHasEncryptionPasswordKey);
  archiver.encodeObject(Value(sourceDirectoryPath()), kSourceDirectoryPathKey);
  archiver.encodeObject(url ? Value(std::const_pointer_cast<Url>(url)) : Value(), kDestinationURLKey);
  archiver.encodeBool(computeFileDigests(), kComputeFileDigestsKey);
  archiver.encodeBool(preserveDSStoreFiles(), kPreserveDSStoreFilesKey);
  archiver.encodeObject(Value(ArrayOf(extraExcludedPaths_)), kExtraExcludedPathsKey);
  archiver.encodeInt(maximumSegmentSize(), kMaximumSegmentSizeKey);
  archiver.encodeBool(scheduleOnLaunch_, kScheduleOnLaunchKey);
  archiver.encodeBool(scheduleOnConnection_, kScheduleOnConnectionKey);
  archiver.encodeDouble(scheduleInterval_, kScheduleIntervalKey);
  archiver.encodeBool(scheduleDaily_, kScheduleDailyKey);
  archiver.encodeDouble(scheduleTime_, kScheduleTimeKey);
  archiver.encodeObject(schedulePredicate_ ? Value(schedulePredicate_) : Value(), kSchedulePredicateKey);
  archiver.encodeBool(locked_, kLockedKey);
  archiver.encodeBool(hasURLPassword(), kHasURLPasswordKey);
  archiver.encodeObject(Value(name_), kNameKey);
  Value tree;
  if (filesHierarchy_) {
    std::optional<Data> data = filesHierarchy_->archivedData();
    if (!data) {
      archiver.failWithError("the file tree cannot be archived");
      return;
    }
    tree = Value(std::move(*data));
  }
  archiver.encodeObject(tree, kFilesHierarchyKey);
  archiver.encodeObject(lastBackupResults_ ? Value(*lastBackupResults_) : Value(), kLastBackupResultsKey);
  archiver.encodeObject(Value(previousResults_), kPreviousResultsKey);
}

std::optional<Data> Backup::archivedSettings(std::string* error) const {
  auto root = std::make_shared<BackupArchive>([this](KeyedArchiver& archiver) { encodeSettings(archiver); });
  return KeyedArchiver::archivedDataWithRootObject(Value(root), error);
}

std::shared_ptr<Backup> Backup::initWithCoder(KeyedUnarchiver& coder) {
  const std::int64_t version = coder.decodeIntForKey(kVersionKey);
  const Value uuid = coder.decodeObjectForKey(kUUIDKey);
  if (version > kBackupSettingsVersion) {
    SystemLog("%s: Backup '%@' at version %i is incompatible with current version %i", __func__, uuid, version,
              kBackupSettingsVersion);
    return nullptr;
  }
  const Value created = coder.decodeObjectForKey(kCreationDateKey);
  std::shared_ptr<Backup> backup =
      initWithUUID(uuid.isString() ? uuid.asString() : std::string(), created.asDate(Date::now()));
  if (!backup) return nullptr;
  backup->decodeSettings(coder, version);
  if (!coder.ok()) return nullptr;
  if (version == kBackupSettingsVersion) {
    backup->hasChanges_ = false;
  } else {
    SystemLog("%s: Updating backup '%@' to version %i", __func__, backup->uuid_, kBackupSettingsVersion);
    backup->hasChanges_ = true;
    backup->needsUpgrade_ = true;
  }
  return backup;
}

void Backup::decodeSettings(KeyedUnarchiver& coder, std::int64_t version) {
  hasEncryptionPassword_.store(coder.decodeBoolForKey(kHasEncryptionPasswordKey));
  const Value source = coder.decodeObjectForKey(kSourceDirectoryPathKey);
  setSourceDirectoryPath(source.isString() ? source.asString() : std::string());
  if (std::shared_ptr<Url> url = coder.decodeObjectForKey(kDestinationURLKey).object<Url>()) setDestinationURL(*url);
  setComputeFileDigests(coder.decodeBoolForKey(kComputeFileDigestsKey));
  setPreserveDSStoreFiles(coder.decodeBoolForKey(kPreserveDSStoreFilesKey));
  setExtraExcludedPaths(StringsOf(coder.decodeObjectForKey(kExtraExcludedPathsKey)));
  setMaximumSegmentSize(validateMaximumSegmentSize(coder.decodeIntForKey(kMaximumSegmentSizeKey)));
  setScheduleOnLaunch(coder.decodeBoolForKey(kScheduleOnLaunchKey));
  setScheduleOnConnection(coder.decodeBoolForKey(kScheduleOnConnectionKey));
  setScheduleInterval(validateScheduleInterval(coder.decodeDoubleForKey(kScheduleIntervalKey)));
  setScheduleDaily(coder.decodeBoolForKey(kScheduleDailyKey));
  setScheduleTime(coder.decodeDoubleForKey(kScheduleTimeKey));
  PredicatePtr predicate = coder.decodeObjectForKey(kSchedulePredicateKey).object<Predicate>();
  if (predicate && version <= 1) predicate = FixPredicate(predicate);
  setSchedulePredicate(predicate);
  setLocked(coder.decodeBoolForKey(kLockedKey));
  hasURLPassword_.store(coder.decodeBoolForKey(kHasURLPasswordKey));
  const Value name = coder.decodeObjectForKey(kNameKey);
  setName(name.isString() ? name.asString() : std::string());

  const Value tree = coder.decodeObjectForKey(kFilesHierarchyKey);
  if (version >= kBackupSettingsVersion) {
    filesHierarchy_ = tree.isData() ? ItemInfo::unarchiveFromData(tree.asData()) : nullptr;
  } else {
    filesHierarchy_ = tree.object<ItemInfo>();
  }
  const Value last = coder.decodeObjectForKey(kLastBackupResultsKey);
  setLastBackupResults(last.isDictionary() ? std::optional<Dictionary>(last.asDictionary()) : std::nullopt);
  const Value previous = coder.decodeObjectForKey(kPreviousResultsKey);
  previousResults_ = previous.isArray() ? previous.asArray() : Array();
}

std::shared_ptr<Backup> Backup::loadFromFolder(const std::string& folder) {
  RegisterBackupCoding();
  const std::string file = folder + "/" + kBackupSettingsFileName;
  std::string error;
  std::shared_ptr<Backup> backup;
  if (std::optional<Data> data = ReadWholeFile(file, &error)) {
    if (std::optional<Value> root = KeyedUnarchiver::unarchiveObjectWithData(*data, &error)) {
      if (std::shared_ptr<BackupArchive> archive = root->object<BackupArchive>()) backup = archive->backup();
      if (!backup && error.empty()) error = "no backup in the file";
    }
  }
  if (!backup) {
    SystemLog("%s: Failed loading backup settings from \"%@\" (%@)", __func__, folder, error);
    return nullptr;
  }
  backup->loadOptions();
  backup->hasChanges_ = backup->needsUpgrade_;
  // Written again at once in the current version.
  if (backup->needsUpgrade_ && backup->saveToDiskIfNecessary()) backup->needsUpgrade_ = false;
  return backup;
}

std::optional<std::vector<std::shared_ptr<Backup>>> Backup::loadAllBackupsFromDisk() {
  const std::string folder = SettingsFolder();
  if (!CreateFolder(folder, __func__)) return std::nullopt;
  std::error_code error;
  std::vector<std::string> entries;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->symlink_status(error).type() == std::filesystem::file_type::directory) {
      entries.push_back(it->path().string());
    }
  }
  if (error) {
    SystemLog("%s: Failed listing directory \"%@\": %@", __func__, folder, error.message());
    return std::nullopt;
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::shared_ptr<Backup>> backups;
  for (const std::string& entry : entries) {
    if (std::shared_ptr<Backup> backup = loadFromFolder(entry)) backups.push_back(std::move(backup));
  }
  return backups;
}

bool Backup::saveToDiskIfNecessary() {
  if (!hasChanges_) return true;
  if (!CreateFolder(path_, __func__)) return false;
  RemoveAbandonedTemporaryFiles(path_);
  if (!saveOptions()) return false;
  std::string error;
  std::optional<Data> data = archivedSettings(&error);
  Status written = data ? WriteFileAtomically(path_ + "/" + kBackupSettingsFileName, data->data(), data->size(), 0600)
                        : Status::invalid(kFormatDomain, error);
  if (!written.ok()) {
    // The old file stays, and so does hasChanges: the next save point tries again.
    SystemLog("%s: Failed saving backup settings to \"%@\" (%@)", __func__, path_, written.message());
    return false;
  }
  hasChanges_ = false;
  return true;
}

bool Backup::saveOptions() {
  Dictionary options{{"excludeCacheDirectories", excludeCacheDirectories()}};
  Status written = PropertyList::writeFile(path_ + "/" + kBackupOptionsFileName, Value(std::move(options)),
                                           PropertyList::Format::Xml);
  if (!written.ok()) SystemLog("%s: Failed saving backup settings to \"%@\" (%@)", __func__, path_, written.message());
  return written.ok();
}

void Backup::loadOptions() {
  Expected<Value> options = PropertyList::readFile(path_ + "/" + kBackupOptionsFileName);
  if (!options || !options->isDictionary()) return;
  const Value& caches = options->asDictionary().get("excludeCacheDirectories");
  if (caches.isBool()) RemoteBackupController::setExcludeCacheDirectories(caches.asBool());
}

bool Backup::deleteFromDisk() {
  if (hasEncryptionPassword()) keychain().removeGenericPasswordForService(kBackupKeychainService, uuid_);
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) return true;
  std::filesystem::remove_all(path_, error);
  if (error) {
    SystemLog("%s: Failed deleting directory \"%@\": %@", __func__, path_, error.message());
    return false;
  }
  return true;
}

}  // namespace quorvel
