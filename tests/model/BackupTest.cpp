// The backup model: settings file, versions, passwords and change tracking.
#include "model/Backup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "foundation/Keychain.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "snapshot/DirectoryScanner.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

constexpr const char* kEncryptionPassword = "Encryption-Secret-4711";
constexpr const char* kServerPassword = "Server-Secret-0815";

// Every test gets its own settings folder and credential store.
class BackupModel : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVEL_HOME", (home_ / "Settings").c_str(), 1);
    keychain_ = std::make_unique<Keychain>(CreateFileKeychainStore(home_ / "Store/Keychain"));
    Backup::setKeychain(keychain_.get());
  }
  void TearDown() override {
    Backup::setKeychain(nullptr);
    unsetenv("QUORVEL_HOME");
  }

  std::vector<std::shared_ptr<Backup>> LoadAll() {
    auto backups = Backup::loadAllBackupsFromDisk();
    EXPECT_TRUE(backups.has_value());
    return backups ? *backups : std::vector<std::shared_ptr<Backup>>();
  }

  // A backup with every stored setting away from its default.
  std::shared_ptr<Backup> FullyConfigured() {
    auto backup = Backup::create();
    backup->setName("Documents");
    backup->setSourceDirectoryPath("/home/me/Documents");
    backup->setDestinationURL(*Url::URLWithString(std::string("ftp://me:") + kServerPassword + "@host/backups"));
    backup->setEncryptionPassword(kEncryptionPassword);
    backup->setComputeFileDigests(false);
    backup->setPreserveDSStoreFiles(true);
    backup->setExtraExcludedPaths({"tmp", "Cache", "tmp"});
    backup->setMaximumSegmentSize(64);
    backup->setScheduleOnLaunch(true);
    backup->setScheduleInterval(3600);
    backup->setScheduleDaily(true);
    backup->setScheduleTime(7200);
    backup->setSchedulePredicate(Predicate::predicateWithFormat("$WEEK_DAY == 0"));
    backup->setLocked(true);
    auto leaf = std::make_shared<ItemInfo>(std::make_shared<const std::string>("a.txt"), std::nullopt);
    backup->setFilesHierarchy(std::make_shared<ItemInfo>(std::make_shared<const std::string>(""),
                                                         ItemInfo::Children{leaf}));
    backup->setLastBackupResults(Dictionary{{"success", true}, {"startDate", Date(1000.0)}});
    return backup;
  }

  test::TempDir home_;
  std::unique_ptr<Keychain> keychain_;
};

TEST_F(BackupModel, SettingsSurviveSavingAndLoading) {
  auto saved = FullyConfigured();
  ASSERT_TRUE(saved->hasChanges());
  ASSERT_TRUE(saved->saveToDiskIfNecessary());
  EXPECT_FALSE(saved->hasChanges());

  auto backups = LoadAll();
  ASSERT_EQ(backups.size(), 1u);
  const Backup& loaded = *backups[0];
  EXPECT_EQ(loaded.uuid(), saved->uuid());
  EXPECT_EQ(loaded.path(), home_ / "Settings/" + saved->uuid());
  EXPECT_EQ(loaded.creationDate().timeIntervalSinceReferenceDate(),
            saved->creationDate().timeIntervalSinceReferenceDate());
  EXPECT_EQ(loaded.name(), "Documents");
  EXPECT_EQ(loaded.sourceDirectoryPath(), "/home/me/Documents");
  EXPECT_EQ(loaded.destinationURLWithoutPassword()->absoluteString(), "ftp://me@host/backups");
  EXPECT_EQ(loaded.destinationURL()->password(), kServerPassword);
  EXPECT_EQ(loaded.encryptionPassword(), kEncryptionPassword);
  EXPECT_FALSE(loaded.computeFileDigests());
  EXPECT_TRUE(loaded.preserveDSStoreFiles());
  EXPECT_EQ(loaded.extraExcludedPaths(), (std::vector<std::string>{"Cache", "tmp"}));
  EXPECT_EQ(loaded.maximumSegmentSize(), 64u);
  EXPECT_TRUE(loaded.scheduleOnLaunch());
  EXPECT_FALSE(loaded.scheduleOnConnection());
  EXPECT_EQ(loaded.scheduleInterval(), 3600);
  EXPECT_TRUE(loaded.scheduleDaily());
  EXPECT_EQ(loaded.scheduleTime(), 7200);
  ASSERT_TRUE(loaded.schedulePredicate());
  EXPECT_EQ(loaded.schedulePredicate()->predicateFormat(), "$WEEK_DAY == 0");
  EXPECT_TRUE(loaded.isLocked());
  ASSERT_TRUE(loaded.filesHierarchy());
  EXPECT_TRUE(loaded.filesHierarchy()->isEqualToObject(*saved->filesHierarchy()));
  EXPECT_EQ(loaded.lastBackupResults(), saved->lastBackupResults());
  EXPECT_EQ(loaded.destinationType(), 3);
  EXPECT_EQ(loaded.info().get("host").asString(), "host");
  EXPECT_EQ(loaded.info().get("segmentSize").asString(), "64.0 MB");
  EXPECT_FALSE(loaded.hasChanges());
}

// The file is a keyed archive any reader of the format decodes, with the
// keys in their fixed order; no password is in any file of the folder.
TEST_F(BackupModel, SettingsFileIsAKeyedArchiveWithTheKeysInOrderAndNoPassword) {
  auto backup = FullyConfigured();
  ASSERT_TRUE(backup->saveToDiskIfNecessary());
  const std::string file = backup->path() + "/Settings.data";
  const std::string script = home_ / "check.py";
  test::WriteFile(script, R"(import plistlib, sys
archive = plistlib.load(open(sys.argv[1], 'rb'))
assert archive['$archiver'] == 'NSKeyedArchiver', archive['$archiver']
objects = archive['$objects']
root = objects[archive['$top']['root'].data]
print(objects[root['$class'].data]['$classname'])
print(' '.join(k for k in root if k != '$class'))
print(root['version'])
print(objects[root['uuid'].data])
tree = objects[root['filesHierarchy'].data]
print(type(tree).__name__, tree[:13])
)");
  std::string output;
  ASSERT_EQ(test::RunShell(test::Python() + " " + script + " '" + file + "'", &output), 0) << output;
  EXPECT_EQ(output,
            "Backup\n"
            "version uuid creationDate hasEncryptionPassword sourceDirectoryPath destinationURL computeFileDigests "
            "preserveDSStoreFiles extraExcludedPaths maximumSegmentSize scheduleOnLaunch scheduleOnConnection "
            "scheduleInterval scheduleDaily scheduleTime schedulePredicate locked hasURLPassword name "
            "filesHierarchy lastBackupResults previousResults\n"
            "3\n" +
                backup->uuid() + "\nbytes b'\\x04\\x0bstreamtyped'\n");

  for (const auto& entry : std::filesystem::recursive_directory_iterator(home_ / "Settings")) {
    if (!entry.is_regular_file()) continue;
    const std::string text = test::ReadTextFile(entry.path());
    EXPECT_EQ(text.find(kEncryptionPassword), std::string::npos) << entry.path();
    EXPECT_EQ(text.find(kServerPassword), std::string::npos) << entry.path();
  }
}

// A settings file as older versions wrote it: the same keys under a lower
// version, the file tree as a keyed object, and (versions 0 and 1) schedule
// conditions named by the rule editor's texts of the time.
class OldSettings : public Object, public KeyedCoding {
 public:
  OldSettings(std::int64_t version, std::string uuid) : version_(version), uuid_(std::move(uuid)) {}
  std::string className() const override { return "Backup"; }
  void encodeWithCoder(KeyedArchiver& archiver) const override {
    archiver.encodeInt(version_, "version");
    archiver.encodeObject(Value(uuid_), "uuid");
    archiver.encodeObject(Value(Date(100.0)), "creationDate");
    archiver.encodeBool(false, "hasEncryptionPassword");
    archiver.encodeObject(Value("/srv/data"), "sourceDirectoryPath");
    archiver.encodeObject(Value(std::make_shared<Url>(*Url::URLWithString("file://localhost/mnt/b"))),
                          "destinationURL");
    archiver.encodeBool(true, "computeFileDigests");
    archiver.encodeBool(false, "preserveDSStoreFiles");
    archiver.encodeObject(Value(Array{Value("x")}), "extraExcludedPaths");
    archiver.encodeInt(20, "maximumSegmentSize");
    archiver.encodeBool(false, "scheduleOnLaunch");
    archiver.encodeBool(false, "scheduleOnConnection");
    archiver.encodeDouble(0, "scheduleInterval");
    archiver.encodeBool(true, "scheduleDaily");
    archiver.encodeDouble(3600, "scheduleTime");
    archiver.encodeObject(Value(Predicate::predicateWithFormat("%K == %@", Array{Value("Week day"), Value("Sunday")})),
                          "schedulePredicate");
    archiver.encodeBool(false, "locked");
    archiver.encodeBool(false, "hasURLPassword");
    archiver.encodeObject(Value("Old"), "name");
    auto leaf = std::make_shared<ItemInfo>(std::make_shared<const std::string>("f"), std::nullopt);
    archiver.encodeObject(
        Value(std::make_shared<ItemInfo>(std::make_shared<const std::string>(""), ItemInfo::Children{leaf})),
        "filesHierarchy");
    archiver.encodeObject(Value(), "lastBackupResults");
    archiver.encodeObject(Value(Array{Value(Dictionary{{"command", "performBackup"}})}), "previousResults");
  }

 private:
  std::int64_t version_;
  std::string uuid_;
};

TEST_F(BackupModel, OlderSettingsAreConvertedAndSavedAgainNewerOnesAreRefused) {
  struct Case {
    std::int64_t version;
    bool loads;
    const char* predicate;  // after loading
  };
  const Case cases[] = {
      {0, true, "WEEK_DAY == \"0\""},
      {1, true, "WEEK_DAY == \"0\""},
      {2, true, nullptr},
      {4, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    std::filesystem::remove_all(home_ / "Settings");
    const std::string uuid = "OLD-" + std::to_string(c.version);
    auto data = KeyedArchiver::archivedDataWithRootObject(Value(std::make_shared<OldSettings>(c.version, uuid)));
    ASSERT_TRUE(data);
    std::filesystem::create_directories(home_ / "Settings/" + uuid);
    test::WriteFile(home_ / "Settings/" + uuid + "/Settings.data", *data);

    SystemLogCapture log;
    auto backups = LoadAll();
    if (!c.loads) {
      EXPECT_TRUE(backups.empty());
      EXPECT_TRUE(log.contains("Backup '" + uuid + "' at version 4 is incompatible with current version 3"));
      continue;
    }
    ASSERT_EQ(backups.size(), 1u);
    ASSERT_TRUE(backups[0]->schedulePredicate());
    // The rule editor's key-path form prints with a leading "#" for a key
    // with a space; the converted one is a plain key path.
    const std::string predicate = backups[0]->schedulePredicate()->predicateFormat();
    if (c.version <= 1) {
      EXPECT_EQ(predicate, c.predicate);
    } else {
      EXPECT_EQ(backups[0]->schedulePredicate()->leftExpression()->keyPath(), "Week day");
    }
    EXPECT_TRUE(log.contains("Updating backup '" + uuid + "' to version 3"));
    EXPECT_FALSE(backups[0]->hasChanges()) << "saved at once";
    ASSERT_TRUE(backups[0]->filesHierarchy());
    EXPECT_EQ(backups[0]->filesHierarchy()->children().at(0)->name(), "f");

    // Stored again as version 3, with the tree as a typed stream.
    auto archive = PropertyList::readFile(backups[0]->path() + "/Settings.data");
    ASSERT_TRUE(archive);
    const Array& objects = archive->asDictionary().get("$objects").asArray();
    const Dictionary& root = objects.at(archive->asDictionary().get("$top")["root"].asUid().value).asDictionary();
    EXPECT_EQ(root.get("version").asInt(), 3);
    EXPECT_TRUE(objects.at(root.get("filesHierarchy").asUid().value).isData());
    auto again = LoadAll();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0]->name(), "Old");
    EXPECT_EQ(again[0]->schedulePredicate()->predicateFormat(), predicate);
    EXPECT_EQ(again[0]->previousResults().size(), 1u);
  }
}

// A damaged settings file is skipped at loading; the others still load.
TEST_F(BackupModel, ADamagedSettingsFileIsSkipped) {
  auto good = FullyConfigured();
  auto damaged = FullyConfigured();
  ASSERT_TRUE(good->saveToDiskIfNecessary());
  ASSERT_TRUE(damaged->saveToDiskIfNecessary());
  const std::string file = damaged->path() + "/Settings.data";
  Data bytes = test::ReadFile(file);
  const std::size_t positions[] = {0, bytes.size() / 2, bytes.size() - 10};
  for (std::size_t position : positions) {
    SCOPED_TRACE(position);
    Data broken = bytes;
    broken[position] ^= 0xFF;
    test::WriteFile(file, broken);
    SystemLogCapture log;
    auto backups = LoadAll();
    // A flipped byte inside a text may still decode; what decodes must not
    // be the damaged backup in a state it was never saved in.
    bool foundGood = false;
    for (const auto& backup : backups) {
      if (backup->uuid() == good->uuid()) foundGood = true;
    }
    EXPECT_TRUE(foundGood);
    if (backups.size() == 1) {
      EXPECT_TRUE(log.contains("Failed loading backup settings from"));
    }
  }
  test::WriteFile(file, Data(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 3)));
  EXPECT_EQ(LoadAll().size(), 1u) << "a truncated file is skipped";
}

TEST_F(BackupModel, SegmentSizeAndIntervalAreClamped) {
  const std::pair<std::int64_t, std::uint32_t> sizes[] = {{-5, 1}, {0, 1}, {1, 1}, {2, 2},
                                                          {64, 64}, {128, 128}, {129, 128}, {500, 128}};
  for (auto [given, expected] : sizes) EXPECT_EQ(Backup::validateMaximumSegmentSize(given), expected) << given;
  EXPECT_EQ(Backup::validateScheduleInterval(-5), 0);
  EXPECT_EQ(Backup::validateScheduleInterval(0), 0);
  EXPECT_EQ(Backup::validateScheduleInterval(60), 60);
}

// Every stored setting marks the backup as changed; a failed save keeps the
// mark, so the next save point writes the change.
TEST_F(BackupModel, ChangesAreTrackedAndKeptUntilWritten) {
  auto backup = FullyConfigured();
  ASSERT_TRUE(backup->saveToDiskIfNecessary());
  const std::vector<std::function<void(Backup&)>> changes = {
      [](Backup& b) { b.setName("Other"); },
      [](Backup& b) { b.setComputeFileDigests(true); },
      [](Backup& b) { b.setMaximumSegmentSize(10); },
      [](Backup& b) { b.setExtraExcludedPaths({"y"}); },
      [](Backup& b) { b.setEncryptionPassword(std::string("new")); },
      [](Backup& b) { b.setScheduleTime(1); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    changes[i](*backup);
    EXPECT_TRUE(backup->hasChanges()) << i;
    ASSERT_TRUE(backup->saveToDiskIfNecessary());
  }
  EXPECT_EQ(LoadAll().at(0)->maximumSegmentSize(), 10u);
  EXPECT_EQ(LoadAll().at(0)->encryptionPassword(), "new");

  // The settings file's name taken by a folder: the replacement fails.
  backup->setName("Blocked");
  std::filesystem::remove(backup->path() + "/Settings.data");
  std::filesystem::create_directories(backup->path() + "/Settings.data/x");
  SystemLogCapture log;
  EXPECT_FALSE(backup->saveToDiskIfNecessary());
  EXPECT_TRUE(backup->hasChanges());
  EXPECT_TRUE(log.contains("Failed saving backup settings to"));
  std::filesystem::remove_all(backup->path() + "/Settings.data");
  EXPECT_TRUE(backup->saveToDiskIfNecessary());
  EXPECT_EQ(LoadAll().at(0)->name(), "Blocked");
}

TEST_F(BackupModel, ACopyHasItsOwnIdentityAndNoPasswordOrHistory) {
  auto original = FullyConfigured();
  auto copy = Backup::initWithBackup(*original);
  EXPECT_NE(copy->uuid(), original->uuid());
  EXPECT_EQ(copy->name(), "Documents copy");
  EXPECT_FALSE(copy->hasEncryptionPassword());
  EXPECT_FALSE(copy->encryptionPassword());
  EXPECT_FALSE(copy->isLocked());
  EXPECT_TRUE(copy->previousResults().empty());
  EXPECT_FALSE(copy->lastBackupResults());
  EXPECT_EQ(copy->destinationURL()->password(), kServerPassword);
  EXPECT_EQ(copy->extraExcludedPaths(), original->extraExcludedPaths());
  EXPECT_EQ(copy->maximumSegmentSize(), 64u);
  EXPECT_TRUE(copy->hasChanges());
}

TEST_F(BackupModel, DeletingRemovesTheFolderAndTheEncryptionPasswordOnly) {
  auto backup = FullyConfigured();
  ASSERT_TRUE(backup->saveToDiskIfNecessary());
  ASSERT_TRUE(backup->deleteFromDisk());
  EXPECT_FALSE(std::filesystem::exists(backup->path()));
  EXPECT_FALSE(keychain_->genericPasswordForService("Quorvel Varid", backup->uuid()));
  EXPECT_EQ(keychain_->URLWithPasswordForURL(*Url::URLWithString("ftp://me@host/backups")).password(),
            kServerPassword);
  EXPECT_TRUE(LoadAll().empty());
}

// Re-created from what a destination holds: the snapshot's records.
TEST_F(BackupModel, ABackupIsRecreatedFromADestinationsSnapshot) {
  test::TempDir source;
  std::filesystem::create_directories(source / "docs/sub");
  test::WriteFile(source / "docs/sub/a.txt", "a");
  test::WriteFile(source / "b.txt", "b");
  auto snapshot = DirectoryScanner::initWithRootDirectory(source.path(), false);
  ASSERT_TRUE(snapshot->scanRootDirectory());
  snapshot->setUserInfo(Value("SNAP-UUID"), "quorvel.uuid");
  snapshot->setUserInfo(Value("/home/me/Pictures.old"), "quorvel.sourceDirectoryPath");
  snapshot->setUserInfo(Value(false), "quorvel.computeFileDigests");
  snapshot->setUserInfo(Value(true), "quorvel.preserveDSStoreFiles");
  snapshot->setUserInfo(Value(Array{Value("tmp")}), "quorvel.extraExcludedPaths");
  snapshot->setUserInfo(Value(std::uint64_t(16)), "quorvel.maximumSegmentSize");
  snapshot->setUserInfo(Value(Array{Value(Date(5.0)), Value(Date(9.0))}), "backup.dates");
  snapshot->setUserInfo(Value(Array{Value("one problem")}), "backup.errorMessages");
  Dictionary results{{"directoryScanner", Value(snapshot)}, {"sourceFiles", 2}, {"destinationSize", 99}};

  auto backup = Backup::initWithDestinationResults(results, std::string("pw"), *Url::URLWithString("file:///b"));
  ASSERT_TRUE(backup);
  EXPECT_EQ(backup->uuid(), "SNAP-UUID");
  EXPECT_EQ(backup->name(), "Pictures");
  EXPECT_EQ(backup->sourceDirectoryPath(), "/home/me/Pictures.old");
  EXPECT_FALSE(backup->computeFileDigests());
  EXPECT_TRUE(backup->preserveDSStoreFiles());
  EXPECT_EQ(backup->extraExcludedPaths(), std::vector<std::string>{"tmp"});
  EXPECT_EQ(backup->maximumSegmentSize(), 16u);
  EXPECT_EQ(backup->encryptionPassword(), "pw");
  ASSERT_EQ(backup->previousResults().size(), 1u);
  const Dictionary& entry = backup->previousResults()[0].asDictionary();
  EXPECT_EQ(entry.get("command").asString(), "checkDestination");
  EXPECT_EQ(entry.get("date").asDate().timeIntervalSinceReferenceDate(), 9.0);
  EXPECT_EQ(entry.get("errorCount").asUInt(), 1u);
  ASSERT_TRUE(backup->lastBackupResults());
  EXPECT_EQ(backup->lastBackupResults()->get("sourceFiles").asUInt(), 2u);
  ASSERT_TRUE(backup->filesHierarchy());
  const ItemInfo& root = *backup->filesHierarchy();
  ASSERT_EQ(root.count(), 2u);
  EXPECT_EQ(root.children()[0]->name(), "b.txt");
  EXPECT_TRUE(root.children()[0]->isLeaf());
  EXPECT_EQ(root.children()[1]->name(), "docs");
  EXPECT_EQ(root.children()[1]->children().at(0)->children().at(0)->name(), "a.txt");

  snapshot->setUserInfo(Value(), "quorvel.uuid");
  EXPECT_FALSE(Backup::initWithDestinationResults(results, std::nullopt, *Url::URLWithString("file:///b")));
  EXPECT_FALSE(Backup::initWithDestinationResults(Dictionary{}, std::nullopt, *Url::URLWithString("file:///b")));
}

}  // namespace
}  // namespace quorvel
