// Configured backups through the built program: each call is a new process,
// so everything a later call sees was stored by an earlier one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "model/ProcessLock.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace test;

const std::string kProgram = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
constexpr const char* kPassword = "Open-Sesame-3141";

std::string Quote(const std::string& text) { return "'" + text + "'"; }

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class ConfiguredBackupCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
    std::filesystem::create_directories(work / "source/docs");
    std::filesystem::create_directories(work / "source/tmp");
    WriteFile(work / "source/a.txt", "alpha");
    WriteFile(work / "source/docs/b.txt", "bravo");
    WriteFile(work / "source/tmp/scratch", "scratch");
  }

  Outcome Quorvel(const std::string& arguments, const std::string& environment = "") {
    const std::string command = "cd " + Quote(work.path()) + " && env " + environment + " QUORVEL_HOME=" + Quote(Home()) +
                                " QUORVEL_KEYCHAIN=file QV_PASSWORD=" + kPassword + " " + kProgram + " " + arguments +
                                " >" + Quote(work / ".stdout") + " 2>" + Quote(work / ".stderr") + " </dev/null";
    Outcome outcome;
    outcome.status = RunShell(command);
    outcome.out = ReadTextFile(work / ".stdout");
    outcome.err = ReadTextFile(work / ".stderr");
    return outcome;
  }

  std::string Home() const { return work / "home"; }

  // Every file of the settings folder with its contents, but for the lock
  // files (whose contents are the last holder's process id).
  std::map<std::string, std::string> SettingsFiles() const {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(Home(), error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_regular_file() || it->path().filename().string().starts_with(".")) continue;
      files[it->path().string()] = ReadTextFile(it->path().string());
    }
    return files;
  }

  TempDir work;
};

TEST_F(ConfiguredBackupCommandLine, CreateRunTwiceRestoreRemoveAndRecreate) {
  Outcome created = Quorvel("create docs source dest --password-env QV_PASSWORD --exclude tmp --segment-size 2");
  ASSERT_EQ(created.status, 0) << created.err;
  ASSERT_EQ(Quorvel("run docs").status, 0);
  WriteFile(work / "source/c.txt", "charlie");
  Outcome second = Quorvel("run docs --json");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("\"c.txt\""), std::string::npos) << second.out;

  Outcome history = Quorvel("history docs");
  ASSERT_EQ(history.status, 0);
  EXPECT_NE(history.out.find("  1  "), std::string::npos);
  EXPECT_NE(history.out.find("  2  "), std::string::npos);
  EXPECT_EQ(history.out.find("  3  "), std::string::npos) << history.out;
  Outcome report = Quorvel("report docs 1");
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("copiedPaths = {\n\tc.txt\n}"), std::string::npos) << report.out;
  EXPECT_NE(Quorvel("report docs 3").status, 0);

  Outcome restored = Quorvel("restore docs --to restored");
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(ReadTextFile(work / "restored/source/c.txt"), "charlie");
  EXPECT_EQ(ReadTextFile(work / "restored/source/docs/b.txt"), "bravo");
  EXPECT_FALSE(std::filesystem::exists(work / "restored/source/tmp")) << "excluded";

  Outcome shown = Quorvel("show docs --json");
  EXPECT_NE(shown.out.find("\"historyEntries\": 3"), std::string::npos) << shown.out;
  // The password is in the credential store's file only.
  for (const auto& [path, contents] : SettingsFiles()) {
    if (path == Home() + "/Keychain") continue;
    EXPECT_EQ(contents.find(kPassword), std::string::npos) << path;
  }
  const std::string uuid = shown.out.substr(shown.out.find("\"uuid\": \"") + 9, 36);

  ASSERT_EQ(Quorvel("remove docs").status, 0);
  EXPECT_EQ(Quorvel("show docs").status, 1);
  Outcome recreated = Quorvel("recreate dest --password-env QV_PASSWORD --name again --json");
  ASSERT_EQ(recreated.status, 0) << recreated.err;
  EXPECT_NE(recreated.out.find("\"uuid\": \"" + uuid + "\""), std::string::npos) << recreated.out;
  EXPECT_NE(recreated.out.find("\"source\": \"" + work / "source\""), std::string::npos);
  EXPECT_NE(recreated.out.find("\"segmentSize\": 2"), std::string::npos);
  EXPECT_NE(recreated.out.find("\"exclusions\": [\n    \"tmp\"\n  ]"), std::string::npos) << recreated.out;
  Outcome duplicate = Quorvel("recreate dest --password-env QV_PASSWORD --name third");
  EXPECT_EQ(duplicate.status, 1);
  EXPECT_NE(duplicate.err.find("is configured already, as \"again\""), std::string::npos) << duplicate.err;
  WriteFile(work / "source/d.txt", "delta");
  EXPECT_EQ(Quorvel("run again").status, 0) << "the re-created backup goes on with the stored one";
}

// Bad input is refused with a message and leaves the settings as they were.
TEST_F(ConfiguredBackupCommandLine, BadInputChangesNothing) {
  ASSERT_EQ(Quorvel("create docs source dest --no-encryption").status, 0);
  ASSERT_EQ(Quorvel("run docs").status, 0);
  const auto before = SettingsFiles();
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case cases[] = {
      {"show nosuch", "no backup is named \"nosuch\""},
      {"run nosuch", "no backup is named \"nosuch\""},
      {"set nosuch name x", "no backup is named \"nosuch\""},
      {"create docs source dest2 --no-encryption", "a backup named \"docs\" exists already"},
      {"create other source dest --no-encryption", "holds a backup already; to go on with it, configure it with"},
      {"set docs name docs", "a backup named \"docs\" exists already"},
      {"create other missing dest2 --no-encryption", "does not exist"},
      {"create other source/a.txt dest2 --no-encryption", "is not a folder"},
      {"set docs source missing", "does not exist"},
      {"create other source ftp:///backups --no-encryption", "has no host"},
      {"set docs destination sftp:///backups", "has no host"},
      {"create other source dest2", "--no-encryption"},
      {"create other source dest2 --no-encryption --exclude /elsewhere", "is not inside the source"},
      {"set docs segment-size many", "is not a whole number"},
      {"set docs colour blue", "unknown setting \"colour\""},
  };
  for (const Case& c : cases) {
    Outcome outcome = Quorvel(c.arguments);
    EXPECT_NE(outcome.status, 0) << c.arguments;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.arguments << ": " << outcome.err;
    EXPECT_TRUE(SettingsFiles() == before) << c.arguments;
  }

  for (const auto& [given, used] : std::vector<std::pair<std::string, std::string>>{{"0", "1"}, {"500", "128"}}) {
    Outcome set = Quorvel("set docs segment-size " + given + " --json");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.err.find("using " + used + " MB"), std::string::npos) << set.err;
    EXPECT_NE(set.out.find("\"segmentSize\": " + used), std::string::npos) << set.out;
  }
}

TEST_F(ConfiguredBackupCommandLine, AMissingEncryptionPasswordIsNamedWithItsFix) {
  ASSERT_EQ(Quorvel("create docs source dest --password-env QV_PASSWORD").status, 0);
  // The credential store loses the password (a new keyring, say).
  std::filesystem::remove(Home() + "/Keychain");
  Outcome run = Quorvel("run docs");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("encryption password of the backup \"docs\" is missing"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("quorvel set docs password-env"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(work / "dest")) << "nothing ran";
  ASSERT_EQ(Quorvel("set docs password-env QV_PASSWORD").status, 0);
  EXPECT_EQ(Quorvel("run docs").status, 0);
}

// A backup, and a destination, held by another process: refused at once,
// naming the holder; free again once the holder lets go.
TEST_F(ConfiguredBackupCommandLine, ABackupOrADestinationInUseIsRefusedNamingItsHolder) {
  Outcome created = Quorvel("create docs source dest --no-encryption --json");
  ASSERT_EQ(created.status, 0);
  const std::string uuid = created.out.substr(created.out.find("\"uuid\": \"") + 9, 36);
  const std::string holder = "process " + std::to_string(::getpid());
  ::setenv("QUORVEL_HOME", Home().c_str(), 1);
  {
    ProcessLock::Refusal refusal;
    auto lock = ProcessLock::acquire(ProcessLock::pathForBackup(uuid), &refusal);
    ASSERT_TRUE(lock) << refusal.error;
    for (const char* verb : {"run docs", "verify docs", "set docs digests off"}) {
      Outcome outcome = Quorvel(verb);
      EXPECT_EQ(outcome.status, 1) << verb;
      EXPECT_NE(outcome.err.find("the backup \"docs\" is in use by " + holder), std::string::npos) << outcome.err;
    }
  }
  {
    ProcessLock::Refusal refusal;
    auto url = Url::URLWithString("file://localhost" + work / "dest");
    auto lock = ProcessLock::acquire(ProcessLock::pathForDestination(*url), &refusal);
    ASSERT_TRUE(lock) << refusal.error;
    for (const std::string& verb : std::vector<std::string>{"run docs", "backup source " + work / "dest"}) {
      Outcome outcome = Quorvel(verb);
      EXPECT_EQ(outcome.status, 1) << verb;
      EXPECT_NE(outcome.err.find("is in use by " + holder), std::string::npos) << outcome.err;
    }
  }
  ::unsetenv("QUORVEL_HOME");
  EXPECT_EQ(Quorvel("run docs").status, 0);
}

// With the source as the home directory, its ".cache" is a core exclusion;
// a CACHEDIR.TAG folder and a user exclusion are left out too, until turned
// back on.
TEST_F(ConfiguredBackupCommandLine, ExclusionsAreLeftOutAndReportedUntilRemoved) {
  const std::string home = "HOME=" + Quote(work / "source");
  for (const char* folder : {"source/.cache/fonts", "source/build/objects"}) std::filesystem::create_directories(work / folder);
  WriteFile(work / "source/.cache/fonts/f", "cached");
  WriteFile(work / "source/build/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
  WriteFile(work / "source/build/objects/o", "object");
  ASSERT_EQ(Quorvel("create ex source dest --no-encryption --exclude docs", home).status, 0);

  auto excluded = [&](const std::string& json) {
    std::string list = json.substr(json.find("\"excludedPaths\""));
    return list.substr(0, list.find(']'));
  };
  Outcome checked = Quorvel("check-source ex --json", home);
  ASSERT_EQ(checked.status, 0) << checked.err;
  for (const char* path : {"\".cache\"", "\"build\"", "\"docs\""}) {
    EXPECT_NE(excluded(checked.out).find(path), std::string::npos) << path << " in " << checked.out;
  }
  ASSERT_EQ(Quorvel("run ex", home).status, 0);
  Outcome restored = Quorvel("restore ex --to out", home);
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_TRUE(std::filesystem::exists(work / "out/source/a.txt"));
  for (const char* gone : {"out/source/.cache", "out/source/build", "out/source/docs"}) {
    EXPECT_FALSE(std::filesystem::exists(work / gone)) << gone;
  }

  // The destination records the user's exclusions only, not the derived ones.
  ASSERT_EQ(Quorvel("remove ex", home).status, 0);
  Outcome recreated = Quorvel("recreate dest --name ex --json", home);
  ASSERT_EQ(recreated.status, 0) << recreated.err;
  EXPECT_NE(recreated.out.find("\"exclusions\": [\n    \"docs\"\n  ]"), std::string::npos) << recreated.out;

  ASSERT_EQ(Quorvel("set ex include docs", home).status, 0);
  ASSERT_EQ(Quorvel("set ex exclude-caches off", home).status, 0);
  checked = Quorvel("check-source ex --json", home);
  EXPECT_NE(excluded(checked.out).find("\".cache\""), std::string::npos);
  EXPECT_EQ(excluded(checked.out).find("\"build\""), std::string::npos) << checked.out;
  EXPECT_EQ(excluded(checked.out).find("\"docs\""), std::string::npos);
  ASSERT_EQ(Quorvel("run ex", home).status, 0);
  ASSERT_EQ(Quorvel("restore ex --to again", home).status, 0);
  EXPECT_EQ(ReadTextFile(work / "again/source/build/objects/o"), "object");
  EXPECT_EQ(ReadTextFile(work / "again/source/docs/b.txt"), "bravo");
}

// The schedule settings, with their checks: a bad value changes nothing.
TEST_F(ConfiguredBackupCommandLine, ScheduleSettingsAreCheckedAndShown) {
  ASSERT_EQ(Quorvel("create s source dest --no-encryption").status, 0);
  struct Case {
    const char* setting;
    int status;
    const char* shown;  // a piece of `show --json` afterwards
  } cases[] = {
      {"schedule.interval 6h", 0, "\"scheduleInterval\": 21600"},
      {"schedule.interval 90m", 0, "\"scheduleInterval\": 5400"},
      {"schedule.interval 6x", 2, "\"scheduleInterval\": 5400"},
      {"schedule.daily 02:30", 0, "\"scheduleTime\": 9000"},
      {"schedule.daily 25:00", 2, "\"scheduleDaily\": true"},
      {"schedule.on-launch yes", 0, "\"scheduleOnLaunch\": true"},
      {"schedule.on-connection maybe", 2, "\"scheduleOnConnection\": false"},
      {"schedule.skip-if 'WEEK_DAY == 0 OR POWER_SOURCE == 1'", 0,
       "\"scheduleSkipIf\": \"WEEK_DAY == 0 OR POWER_SOURCE == 1\""},
      {"schedule.skip-if 'WEEK_DAY =='", 2, "\"scheduleSkipIf\": \"WEEK_DAY == 0 OR POWER_SOURCE == 1\""},
      {"schedule.daily off", 0, "\"scheduleDaily\": false"},
      {"schedule.interval off", 0, "\"scheduleInterval\": 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    Outcome set = Quorvel(std::string("set s ") + c.setting);
    EXPECT_EQ(set.status, c.status) << set.err;
    Outcome shown = Quorvel("show s --json");
    EXPECT_NE(shown.out.find(c.shown), std::string::npos) << shown.out;
  }
  Outcome text = Quorvel("show s");
  EXPECT_NE(text.out.find("at start-up; skipped if WEEK_DAY == 0 OR POWER_SOURCE == 1"), std::string::npos)
      << text.out;
}

// A volume mounted inside the source, below /mnt, is left out and reported
// (root only: it mounts a tmpfs).
TEST_F(ConfiguredBackupCommandLine, AVolumeMountedInsideTheSourceIsLeftOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a volume";
  const std::string source = "/mnt/quorvel-test-" + std::to_string(getpid());
  std::filesystem::create_directories(source + "/volume");
  WriteFile(source + "/kept.txt", "kept");
  struct Unmount {
    std::string source;
    ~Unmount() { RunShell("umount '" + source + "/volume' 2>/dev/null; rm -rf '" + source + "'"); }
  } unmount{source};
  if (RunShell("mount -t tmpfs quorvel-test '" + source + "/volume' 2>/dev/null") != 0) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  WriteFile(source + "/volume/on-the-volume.txt", "volume");
  ASSERT_EQ(Quorvel("create vol " + Quote(source) + " dest --no-encryption").status, 0);
  Outcome checked = Quorvel("check-source vol --json");
  ASSERT_EQ(checked.status, 0) << checked.err;
  const std::string excluded = checked.out.substr(checked.out.find("\"excludedPaths\""));
  EXPECT_NE(excluded.substr(0, excluded.find(']')).find("\"volume\""), std::string::npos) << checked.out;
  ASSERT_EQ(Quorvel("run vol").status, 0);
  ASSERT_EQ(Quorvel("restore vol --to out").status, 0);
  const std::string restored = work / ("out/" + std::filesystem::path(source).filename().string());
  EXPECT_EQ(ReadTextFile(restored + "/kept.txt"), "kept");
  EXPECT_FALSE(std::filesystem::exists(restored + "/volume/on-the-volume.txt"));
}

}  // namespace
}  // namespace quorvel
