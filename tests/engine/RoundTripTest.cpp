// Backup and restore together: the generated tree (files in parts and in
// archives, links, attributes, ACLs, odd names, empty files and folders,
// groups), backed up with and without a password, comes back equal - whole,
// as single paths and folders, over an earlier damaged restore - and the
// same through the command line as a separate process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/DestinationTestSupport.h"
#include "support/GeneratedTree.h"
#include "support/TreeComparison.h"

namespace quorvel {
namespace {

using namespace test;

constexpr std::uint32_t kSegmentMB = 1;
constexpr const char* kPassword = "round trip password";

std::string Quote(const std::string& path) { return "'" + path + "'"; }

// One source tree per test binary, and one backup of it per password setting.
struct SharedSource {
  TempDir folder;
  GeneratedTree tree;
  std::string source;
  // The group some items are given, so that restoring groups is seen.
  static constexpr gid_t kGroup = 100;
  std::vector<std::string> regroupedPaths;

  SharedSource() {
    source = folder.path() + "/Source Tree";
    GeneratedTreeOptions options;
    options.segmentSize = std::uint64_t{kSegmentMB} << 20;
    options.severalSegments = 2;
    options.smallFileCount = 30;
    tree = GenerateTree(source, options);
    if (geteuid() == 0) {
      regroupedPaths = {"deep/1", tree.files.front(), tree.severalSegmentsFile};
      if (!tree.links.empty()) regroupedPaths.push_back(tree.links.front());
      for (const std::string& path : regroupedPaths) {
        EXPECT_EQ(::lchown((source + "/" + path).c_str(), static_cast<uid_t>(-1), kGroup), 0) << path;
      }
    }
  }
};

SharedSource& Source() {
  static SharedSource* shared = new SharedSource();
  return *shared;
}

std::shared_ptr<RemoteBackupController> MakeController(const std::string& destination,
                                                       const std::optional<std::string>& password) {
  auto controller = RemoteBackupController::create();
  controller->setSourceDirectoryPath(Source().source);
  controller->setDestinationURL(LocalURL(destination));
  controller->setMaximumSegmentSize(kSegmentMB);
  controller->setMaximumSimultaneousSegments(3);
  controller->setComputeFileDigests(true);
  controller->setIncompressibleExtensions({"jpg", "zip"});
  if (password) controller->setEncryptionPassword(*password);
  return controller;
}

// The destination of one backup of the shared source.
struct BackedUp {
  TempDir destination;
  std::optional<std::string> password;
  Dictionary results;
};

BackedUp& Backup(bool encrypted) {
  static std::map<bool, std::unique_ptr<BackedUp>> backups;
  std::unique_ptr<BackedUp>& backup = backups[encrypted];
  if (!backup) {
    backup = std::make_unique<BackedUp>();
    if (encrypted) backup->password = kPassword;
    auto controller = MakeController(backup->destination.path(), backup->password);
    RecordingDelegate delegate;
    delegate.takesRetryQuestions = false;
    backup->results = RunCommand(*controller, delegate, BackupCommandPerformBackup);
    controller->setDelegate(nullptr);
  }
  return *backup;
}

class RoundTrip : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    BackedUp& backup = Backup(GetParam());
    ASSERT_TRUE(backup.results.get(kSuccessResult).asBool()) << JoinedMessages(backup.results);
    destination = backup.destination.path();
    controller = MakeController(destination, backup.password);
    delegate.takesRetryQuestions = false;
  }
  void TearDown() override { controller->setDelegate(nullptr); }

  const std::string& source() const { return Source().source; }
  const GeneratedTree& tree() const { return Source().tree; }

  Dictionary restore(const std::string& into, std::optional<std::vector<std::string>> paths = std::nullopt,
                     bool erase = false) {
    Dictionary arguments;
    arguments.set(kDestinationPathArgument, into);
    arguments.set(kEraseDestinationArgument, erase);
    if (paths) {
      Array values;
      for (const auto& path : *paths) values.push_back(Value(path));
      arguments.set(kRestorePathsArgument, Value(std::move(values)));
    }
    return RunCommand(*controller, delegate, BackupCommandRestoreBackup, arguments);
  }

  // Differences of single items (not what is below them), named by path.
  std::vector<std::string> itemDifferences(const std::string& restoredRoot, const std::vector<std::string>& paths) {
    TreeComparisonOptions itemOnly;
    itemOnly.descend = false;
    std::vector<std::string> lines;
    for (const std::string& path : paths) {
      for (const std::string& line : CompareTrees(source() + "/" + path, restoredRoot + "/" + path, itemOnly)) {
        lines.push_back(path + ": " + line);
      }
    }
    return lines;
  }

  std::string destination;
  std::shared_ptr<RemoteBackupController> controller;
  RecordingDelegate delegate;
};

TEST_P(RoundTrip, TheBackupStoresPartsAndArchives) {
  std::vector<std::string> names = ListFolder(destination);
  bool parts = false;
  bool archives = false;
  for (const std::string& name : names) {
    parts |= name.rfind("File_", 0) == 0;
    archives |= name.rfind("Archive_", 0) == 0;
  }
  EXPECT_TRUE(parts && archives) << JoinLines(names);
  EXPECT_TRUE(tree().hasExtendedAttributes);
  EXPECT_TRUE(tree().hasACLs);
}

TEST_P(RoundTrip, WholeTreeComesBackEqual) {
  TempDir target;
  Dictionary results = restore(target.path());
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_FALSE(results.contains(kErrorMessagesResult)) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"Source Tree"});
  std::vector<std::string> differences = CompareTrees(source(), target / "Source Tree");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
}

TEST_P(RoundTrip, SelectedFileAndFoldersComeBackEqual) {
  const std::string file = "deep/1/2/3/4/5/leaf.txt";
  TempDir target;
  Dictionary results = restore(target.path(), std::vector<std::string>{file, "links", "acl", "names"});
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  EXPECT_EQ(ListFolder(target.path()), (std::vector<std::string>{"acl", "deep", "links", "names"}));
  // The file and each folder above it, alone.
  EXPECT_EQ(ListFolder(target / "deep/1/2/3/4/5"), std::vector<std::string>{"leaf.txt"});
  EXPECT_EQ(ListFolder(target / "deep/1/2"), std::vector<std::string>{"3"});
  std::vector<std::string> differences =
      itemDifferences(target.path(), {"deep", "deep/1", "deep/1/2", "deep/1/2/3", "deep/1/2/3/4", "deep/1/2/3/4/5", file});
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
  for (const char* folder : {"links", "acl", "names"}) {
    differences = CompareTrees(source() + "/" + folder, target / folder);
    EXPECT_TRUE(differences.empty()) << folder << "\n" << JoinLines(differences);
  }
}

TEST_P(RoundTrip, RestoringOverADamagedEarlierRestoreRepairsIt) {
  TempDir target;
  ASSERT_TRUE(restore(target.path()).get(kSuccessResult).asBool());
  const std::string restored = target / "Source Tree";
  // Damage: changed and removed files, a folder replaced by a link, a stray file.
  WriteFile(restored + "/" + tree().files.back(), "changed");
  WriteFile(restored + "/" + tree().severalSegmentsFile, "short now");
  ::unlink((restored + "/" + tree().exactSegmentFile).c_str());
  ASSERT_EQ(RunShell("rm -rf " + Quote(restored + "/deep/1/2")), 0);
  ASSERT_EQ(::symlink("/tmp", (restored + "/deep/1/2").c_str()), 0);
  WriteFile(restored + "/stray.txt", "not from the backup");

  // Without erase, everything from the backup is put back; the stray file stays.
  Dictionary results = restore(target.path());
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  std::vector<std::string> differences = CompareTrees(source(), restored);
  EXPECT_EQ(differences, std::vector<std::string>{"stray.txt: unexpected"}) << JoinLines(differences);

  // With erase, the stray file goes as well.
  results = restore(target.path(), std::nullopt, true);
  ASSERT_TRUE(results.get(kSuccessResult).asBool()) << JoinedMessages(results);
  differences = CompareTrees(source(), restored);
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);
  EXPECT_FALSE(ListFolder(target.path()).empty());
}

TEST_P(RoundTrip, MissingArchiveWithRetryRefusedLeavesNothingBehind) {
  // A copy of the destination without its last archive.
  TempDir copy;
  const std::string damaged = copy / "destination";
  ASSERT_EQ(RunShell("cp -a " + Quote(destination) + " " + Quote(damaged)), 0);
  std::string lastArchive;
  for (const std::string& name : ListFolder(damaged)) {
    if (name.rfind("Archive_", 0) == 0) lastArchive = name;
  }
  ASSERT_FALSE(lastArchive.empty());
  ASSERT_EQ(::unlink((damaged + "/" + lastArchive).c_str()), 0);
  controller->setDestinationURL(LocalURL(damaged));
  delegate.takesRetryQuestions = true;
  int questions = 0;
  delegate.onRetryQuestion = [&](BackupController& asked) {
    ++questions;
    asked.replyToShouldRetryAfterNetworkError(false);
  };

  TempDir target;
  WriteFile(target / "mine.txt", "not part of the restore");
  Dictionary results = restore(target.path());
  EXPECT_FALSE(results.get(kSuccessResult).asBool());
  EXPECT_GE(questions, 1);
  EXPECT_TRUE(HasMessage(results, "Failed downloading archive \"file://localhost" + damaged + "/" + lastArchive + "\""))
      << JoinedMessages(results);
  // Files from parts and from the archives that did arrive are gone again,
  // with every folder the run made.
  EXPECT_EQ(ListFolder(target.path()), std::vector<std::string>{"mine.txt"});
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutPassword, RoundTrip, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Encrypted") : std::string("Plain");
                         });

// ---- The comparison the checks above rely on --------------------------------------

TEST(TreeComparison, ReportsEveryKindOfDifference) {
  TempDir work;
  const std::string a = work / "a";
  const std::string b = work / "b";
  ASSERT_EQ(RunShell("cp -a " + Quote(Source().source) + " " + Quote(a) + " && cp -a " + Quote(Source().source) +
                     " " + Quote(b)),
            0);
  EXPECT_TRUE(CompareTrees(a, b).empty()) << JoinLines(CompareTrees(a, b));

  const GeneratedTree& tree = Source().tree;
  auto expectLine = [&](const std::string& prefix) {
    std::vector<std::string> lines = CompareTrees(a, b);
    bool found = false;
    for (const std::string& line : lines) found |= line.rfind(prefix, 0) == 0;
    EXPECT_TRUE(found) << "no line starting with \"" << prefix << "\" in:\n" << JoinLines(lines);
  };
  const std::string file = tree.files.back();
  struct stat status;
  ASSERT_EQ(::lstat((a + "/" + file).c_str(), &status), 0);
  Data contents = ReadFile(a + "/" + file);
  contents[0] ^= 1;
  WriteFile(b + "/" + file, contents);
  struct timespec times[2] = {status.st_atim, status.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (b + "/" + file).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  expectLine(file + ": contents differs");
  times[1].tv_nsec = (times[1].tv_nsec + 5000) % 1000000000;
  ASSERT_EQ(::utimensat(AT_FDCWD, (b + "/" + file).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  expectLine(file + ": modification time differs");
  ASSERT_EQ(::chmod((b + "/" + file).c_str(), (status.st_mode & 07777) ^ 0004), 0);
  expectLine(file + ": permissions differs");
  if (geteuid() == 0) {
    ASSERT_EQ(::lchown((b + "/" + file).c_str(), 4242, 4343), 0);
    expectLine(file + ": owner differs");
    expectLine(file + ": group differs");
  }
  ASSERT_EQ(RunShell("setfattr -n user.extra -v 1 " + Quote(b + "/" + tree.files.front())), 0);
  expectLine(tree.files.front() + ": extended attribute user.extra differs");
  if (!tree.aclPaths.empty()) {
    ASSERT_EQ(RunShell("setfacl -m u:777:r " + Quote(b + "/" + tree.aclPaths.front())), 0);
    expectLine(tree.aclPaths.front() + ": access ACL differs");
    ASSERT_EQ(RunShell("setfacl -k " + Quote(b + "/acl")), 0);
    expectLine("acl: default ACL differs");
  }
  if (!tree.links.empty()) {
    const std::string link = b + "/" + tree.links.front();
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink("elsewhere", link.c_str()), 0);
    expectLine(tree.links.front() + ": link target differs");
  }
  ASSERT_EQ(RunShell("rm -rf " + Quote(b + "/deep/1/2/3/4/5") + " && touch " + Quote(b + "/deep/1/2/3/4/5")), 0);
  expectLine("deep/1/2/3/4/5: type differs");
  expectLine("deep/1/2/3/4/5/leaf.txt: missing");
  WriteFile(b + "/extra.txt", "extra");
  expectLine("extra.txt: unexpected");
}

// ---- The command line as a separate process ---------------------------------------

std::string Binary() { return std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel"; }

TEST(RoundTripCommandLine, BackupAndRestoreThroughTheCommandLine) {
  ASSERT_EQ(::access(Binary().c_str(), X_OK), 0) << Binary() << " is not built";
  TempDir work;
  const std::string destination = work / "destination";
  const std::string target = work / "target";
  const std::string selected = work / "selected";
  for (const std::string& folder : {destination, target, selected}) ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string environment =
      "QUORVEL_HOME=" + Quote(work / "home") + " QUORVEL_PASSWORD=" + Quote(kPassword) + " ";
  std::string output;
  int status = RunShell(environment + Quote(Binary()) + " backup " + Quote(Source().source) + " " +
                            Quote(destination) + " --segment-size 1 --password-env QUORVEL_PASSWORD 2>&1",
                        &output);
  ASSERT_EQ(status, 0) << output;

  status = RunShell(environment + Quote(Binary()) + " restore " + Quote(destination) + " --to " + Quote(target) +
                        " --password-env QUORVEL_PASSWORD 2>&1",
                    &output);
  ASSERT_EQ(status, 0) << output;
  std::vector<std::string> differences = CompareTrees(Source().source, target + "/Source Tree");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);

  status = RunShell(environment + Quote(Binary()) + " restore " + Quote(destination) + " --to " + Quote(selected) +
                        " --password-env QUORVEL_PASSWORD " + Quote("names") + " 2>&1",
                    &output);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(ListFolder(selected), std::vector<std::string>{"names"});
  differences = CompareTrees(Source().source + "/names", selected + "/names");
  EXPECT_TRUE(differences.empty()) << JoinLines(differences);

  // Without the password the restore fails and leaves the folder as it was.
  TempDir untouched;
  status = RunShell("QUORVEL_HOME=" + Quote(work / "home") + " " + Quote(Binary()) + " restore " +
                        Quote(destination) + " --to " + Quote(untouched.path()) + " 2>&1",
                    &output);
  EXPECT_EQ(status, 1) << output;
  EXPECT_TRUE(ListFolder(untouched.path()).empty());
}

}  // namespace
}  // namespace quorvel
