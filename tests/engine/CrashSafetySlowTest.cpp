// Crash safety of backups: "quorvel backup" is killed with SIGKILL at random
// moments of its run (scanning, archive creation, part uploads, the revision
// upload, its read-back, the clean-up), over and over, on one destination
// without and one with a password. After every kill the destination must
// still restore: the revision that survived (the older one, or the new one
// when the run got far enough) comes back equal to the source as it was
// when that revision was made. The next backup must then complete, and after
// "quorvel prune" the destination must hold exactly the files its revision
// names ("quorvel verify" passes and reports no stalled items).
//
// Every third moment follows the announcement of one of the short closing
// phases (revision upload, read-back, clean-up), which moments drawn over the
// whole run seldom hit. Focused tests watch the destination with inotify: the
// revision data only ever appears under its name by a rename, complete, and a
// first run killed the moment its revision upload begins leaves a destination
// that opens, backs up, prunes and restores.
//
// The moments are drawn from a seeded generator; the seed is printed and may
// be fixed with QUORVEL_CRASH_SEED=N. QUORVEL_CRASH_KILLS=N sets the kills
// per destination (default 12; 10 under AddressSanitizer, where every run is
// slower).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/ProgressDisplay.h"
#include "engine/BackupStorage.h"
#include "engine/PhaseProgress.h"
#include "support/GeneratedTree.h"
#include "support/TestSupport.h"
#include "support/TreeComparison.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_CRASH_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_CRASH_UNDER_ASAN 1
#endif
#endif

namespace quorvel {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kProgram = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
constexpr const char* kPasswordVariable = "QV_CRASH_PASSWORD";
constexpr const char* kSourceName = "Crash Source";
// Generous limit for a single command; a run that takes longer has hung.
constexpr double kCommandLimitSeconds = 180;

std::string Quote(const std::string& path) { return "'" + path + "'"; }

std::string ReadText(const std::string& path) {
  Data bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

int EnvironmentNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  return std::atoi(text);
}

// ---- Running the program ----------------------------------------------------

struct Outcome {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
  std::string out;
  std::string err;
  std::string describe() const {
    return "exit " + std::to_string(status) + "\n--- stdout\n" + out + "\n--- stderr\n" + err;
  }
};

// One run of the program in a process group of its own, so that a kill takes
// its helper processes (archiver, bill-of-materials tool) with it, as a crash
// of the machine or of the session would.
class ProgramRun {
 public:
  ProgramRun(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
      const std::string& logs)
      : logs_(logs) {
    start_ = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
      int out = ::open((logs + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open((logs + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = ::open("/dev/null", O_RDONLY);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::dup2(in, 0);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(kProgram.c_str()));
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      ::execv(kProgram.c_str(), argv.data());
      ::_exit(127);
    }
    // Also from this side, so that a kill right after the fork finds the group.
    if (pid_ > 0) ::setpgid(pid_, pid_);
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;
  ~ProgramRun() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0 || status_ != -1; }

  // The exit status when the program has ended by now.
  std::optional<int> poll() {
    if (pid_ <= 0) return status_;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    finish(status);
    return status_;
  }

  int wait(double seconds) {
    auto limit = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (Clock::now() < limit) {
      if (std::optional<int> status = poll()) return *status;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  // Kills the program and everything it started. Answers false when it had
  // already ended by itself.
  bool kill() {
    if (poll()) return false;
    ::kill(-pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    finish(status);
    return true;
  }

  double seconds() const { return std::chrono::duration<double>(end_ - start_).count(); }

  Outcome outcome() const { return {status_, ReadText(logs_ + "/stdout"), ReadText(logs_ + "/stderr")}; }

 private:
  void finish(int status) {
    end_ = Clock::now();
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }

  std::string logs_;
  pid_t pid_ = -1;
  int status_ = -1;
  Clock::time_point start_;
  Clock::time_point end_;
};

// ---- One destination under test ---------------------------------------------

struct KillRecord {
  int iteration;
  double delay;
  std::string phase;
  int revisionMade;
  int survivingRevision;
};

class CrashLoop {
 public:
  CrashLoop(bool encrypted, std::uint64_t seed) : encrypted_(encrypted), random_(seed) {
    for (const char* folder : {"logs", "home", "tmp", "expected", "restored"}) {
      fs::create_directories(work_ / folder);
    }
    source_ = work_ / kSourceName;
    destination_ = work_ / "destination";
    environment_ = {std::string(kPasswordVariable) + "=crash loop password", "QUORVEL_HOME=" + (work_ / "home"),
                    "QUORVEL_KEYCHAIN=file", "TMPDIR=" + (work_ / "tmp")};
  }

  // The source: a few hundred small files (into archives) and several files
  // of several 1 MB segments, so that a run lasts long enough to be caught
  // in each of its phases.
  void generateSource(int smallFiles) {
    GeneratedTreeOptions options;
    options.segmentSize = 1 << 20;
    options.severalSegments = 2;
    options.smallFileCount = smallFiles;
    options.smallFileMaximumSize = 5000;
    options.seed = 7;
    tree_ = GenerateTree(source_, options);
    for (const std::string& path : tree_.files) {
      if (path.rfind("small/", 0) == 0) smallFiles_.push_back(path);
    }
    fs::create_directories(source_ + "/large");
    for (int i = 0; i < 3; ++i) {
      std::string path = "large/segmented-" + std::to_string(i) + ".bin";
      WriteFile(source_ + "/" + path, GeneratedContents(path, (2u << 20) + 1000u * i, 1));
      largeFiles_.push_back(path);
    }
  }

  std::vector<std::string> passwordArguments() const {
    if (!encrypted_) return {};
    return {"--password-env", kPasswordVariable};
  }

  std::vector<std::string> backupArguments() const {
    std::vector<std::string> arguments = {"backup", source_, destination_, "--segment-size", "1", "--parallel", "2",
                                          "--max-retries", "0"};
    for (const std::string& argument : passwordArguments()) arguments.push_back(argument);
    return arguments;
  }

  Outcome runToEnd(std::vector<std::string> arguments, bool withPassword = true) {
    if (withPassword) {
      for (const std::string& argument : passwordArguments()) arguments.push_back(argument);
    }
    ProgramRun run(arguments, environment_, work_ / "logs");
    int status = run.wait(kCommandLimitSeconds);
    Outcome outcome = run.outcome();
    outcome.status = status;
    return outcome;
  }

  // "quorvel check --json": the revision the destination opens with (0 for
  // none), its file name, the listing and the number of stored files.
  struct CheckResult {
    bool ok = false;
    int revision = 0;
    std::string fileName;
    std::set<std::string> contents;
    std::uint64_t destinationFiles = 0;
    std::string text;
  };
  CheckResult check() {
    CheckResult result;
    Outcome outcome = runToEnd({"check", destination_, "--json"});
    result.text = outcome.describe();
    if (outcome.status != 0) return result;
    nlohmann::json json = nlohmann::json::parse(outcome.out, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return result;
    if (json.contains("contents") && json["contents"].is_object()) {
      for (const auto& [name, attributes] : json["contents"].items()) result.contents.insert(name);
    }
    if (json.contains("directoryScanner") && json["directoryScanner"].is_object()) {
      const nlohmann::json& scanner = json["directoryScanner"];
      result.revision = scanner.value("revision", 0);
      result.fileName = scanner.value("fileName", std::string());
    }
    if (json.contains("destinationFiles")) result.destinationFiles = json["destinationFiles"].get<std::uint64_t>();
    result.ok = true;
    return result;
  }

  std::string revisionFileName(int revision) const {
    char text[40];
    std::snprintf(text, sizeof text, "Revision_%04d.data%s", revision, encrypted_ ? ".aes" : "");
    return text;
  }

  // The source as revision `revision` must restore it.
  void snapshotExpected(int revision) {
    std::string folder = work_ / ("expected/" + std::to_string(revision));
    fs::remove_all(folder);
    fs::create_directories(folder);
    ASSERT_EQ(RunShell("cp -a " + Quote(source_) + " " + Quote(folder + "/")), 0) << folder;
  }
  void dropExpected(int revision) { fs::remove_all(work_ / ("expected/" + std::to_string(revision))); }

  // Restores `revision` into a fresh folder and compares it with what the
  // source was when the revision was made.
  void restoreAndCompare(int revision, const std::string& label) {
    std::string target = work_ / ("restored/" + label);
    fs::remove_all(target);
    fs::create_directories(target);
    Outcome outcome = runToEnd({"restore", destination_, "--to", target});
    ASSERT_EQ(outcome.status, 0) << label << ": restore of revision " << revision << " failed\n" << outcome.describe();
    std::vector<std::string> differences =
        CompareTrees(work_ / ("expected/" + std::to_string(revision) + "/" + kSourceName),
                     target + "/" + kSourceName);
    EXPECT_TRUE(differences.empty()) << label << ": revision " << revision << " restored differently\n"
                                     << JoinLines(differences);
    fs::remove_all(target);
  }

  // A deterministic change of the source: some small files rewritten, some
  // added, some removed, one segmented file rewritten, now and then a folder
  // added or removed.
  void mutate(int iteration) {
    auto pick = [&](std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(random_); };
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
    std::uint32_t contentSeed = 1000 + static_cast<std::uint32_t>(iteration);

    int modified = between(4, 10);
    for (int i = 0; i < modified && !smallFiles_.empty(); ++i) {
      const std::string& path = smallFiles_[pick(smallFiles_.size())];
      WriteFile(source_ + "/" + path, GeneratedContents(path, static_cast<std::uint64_t>(between(1, 6000)),
                                                        contentSeed + static_cast<std::uint32_t>(i)));
    }
    int added = between(2, 6);
    for (int i = 0; i < added; ++i) {
      std::string folder = smallFiles_.empty() ? std::string("small")
                                               : fs::path(smallFiles_[pick(smallFiles_.size())]).parent_path().string();
      std::string path = folder + "/added-" + std::to_string(iteration) + "-" + std::to_string(i) + ".txt";
      WriteFile(source_ + "/" + path, GeneratedContents(path, static_cast<std::uint64_t>(between(0, 5000)), contentSeed));
      smallFiles_.push_back(path);
    }
    int removed = between(1, 4);
    for (int i = 0; i < removed && smallFiles_.size() > 20; ++i) {
      std::size_t index = pick(smallFiles_.size());
      fs::remove(source_ + "/" + smallFiles_[index]);
      smallFiles_.erase(smallFiles_.begin() + static_cast<long>(index));
    }
    const std::string& large = largeFiles_[pick(largeFiles_.size())];
    WriteFile(source_ + "/" + large,
              GeneratedContents(large, static_cast<std::uint64_t>(between(3 << 19, 5 << 19)), contentSeed));
    if (iteration % 3 == 0) {
      std::string folder = "folders/made-" + std::to_string(iteration);
      fs::create_directories(source_ + "/" + folder + "/inner");
      WriteFile(source_ + "/" + folder + "/inner/note.txt", "made in iteration " + std::to_string(iteration) + "\n");
      madeFolders_.push_back(folder);
    } else if (iteration % 4 == 1 && !madeFolders_.empty()) {
      fs::remove_all(source_ + "/" + madeFolders_.front());
      madeFolders_.erase(madeFolders_.begin());
    }
  }

  // After a complete backup and a prune: the destination opens at `revision`
  // and holds exactly the files that revision names.
  void expectExactlyTheRevisionFiles(int revision, const std::string& label) {
    CheckResult result = check();
    ASSERT_TRUE(result.ok) << label << ": check failed\n" << result.text;
    EXPECT_EQ(result.revision, revision) << label;
    EXPECT_EQ(result.fileName, revisionFileName(revision)) << label;
    std::vector<std::string> revisions;
    for (const std::string& name : result.contents) {
      if (name.rfind("Revision_", 0) == 0) revisions.push_back(name);
    }
    EXPECT_EQ(revisions, std::vector<std::string>{revisionFileName(revision)}) << label;
    EXPECT_EQ(result.contents.size(), result.destinationFiles + 1)
        << label << ": the destination holds files its revision does not name (or lacks some)";

    Outcome verify = runToEnd({"verify", destination_, "--json"});
    EXPECT_EQ(verify.status, 0) << label << ": verify failed\n" << verify.describe();
    for (const char* message : {"Stalled item", "Orphan upload information", "Missing upload information"}) {
      EXPECT_EQ(verify.out.find(message), std::string::npos) << label << ": verify reports \"" << message << "\"\n"
                                                             << verify.describe();
      EXPECT_EQ(verify.err.find(message), std::string::npos) << label << ": verify reports \"" << message << "\"\n"
                                                             << verify.describe();
    }
  }

  // The program's last announced phase (progress goes to standard error one
  // line per phase when it is not a terminal).
  std::string lastPhase() const {
    static const std::set<std::string> kPhaseLines = [] {
      std::set<std::string> lines;
      for (const char* type : {kPhaseMain, kPhaseCheckDestination, kPhaseDownloadBackupInfo, kPhaseScanSource,
                               kPhaseUploadFileMetadata, kPhaseUploadFilePart, kPhaseComputeFileDigest,
                               kPhaseComputeArchiveDigest, kPhaseCreateFileArchive, kPhaseUploadFileArchive,
                               kPhaseUploadBackupData, kPhaseVerifyBackupInfo, kPhaseDeleteSpareBackupFiles})
        lines.insert(ProgressDisplay::PhaseDescription(type, "backup"));
      return lines;
    }();
    std::istringstream lines(ReadText(work_ / "logs/stderr"));
    std::string line;
    std::string last = "(before the first phase)";
    while (std::getline(lines, line)) {
      if (kPhaseLines.count(line)) last = line;
    }
    return last;
  }

  // One killed run and everything that must hold after it. `revision` is
  // what the destination holds before the run (0: nothing), the run makes
  // revision + 1. Answers whether the run was really killed (false when it
  // had ended by itself before the moment came).
  bool killedIteration(int iteration, int revision, double delay, std::vector<KillRecord>& kills,
                       const std::string& atPhase = std::string(), double* unkilledSeconds = nullptr) {
    const int next = revision + 1;
    const std::string label = std::string(encrypted_ ? "encrypted" : "plain") + " iteration " +
                              std::to_string(iteration) + " (kill " + std::to_string(delay) + " s after " +
                              (atPhase.empty() ? std::string("the start") : atPhase) + ")";
    snapshotExpected(next);
    if (::testing::Test::HasFatalFailure()) return false;

    bool killed = false;
    std::string phase;
    {
      ProgramRun run(backupArguments(), environment_, work_ / "logs");
      EXPECT_TRUE(run.started()) << label;
      if (!atPhase.empty()) {
        // Wait for the phase to be announced, then the delay.
        auto limit = Clock::now() + std::chrono::seconds(static_cast<long>(kCommandLimitSeconds));
        while (Clock::now() < limit && !run.poll() && lastPhase() != atPhase) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(delay * 1e6)));
      killed = run.kill();
      phase = killed ? lastPhase() : "(ended before the kill)";
      if (!killed) {
        EXPECT_EQ(run.outcome().status, 0) << label << ": the run failed by itself\n" << run.outcome().describe();
        if (unkilledSeconds) *unkilledSeconds = run.seconds();
      }
    }

    // What survived: the old revision or, when the run got that far, the new
    // one. A first run killed before it made the destination folder left nothing.
    CheckResult survived;
    if (revision == 0 && !fs::exists(destination_)) {
      survived.ok = true;
    } else {
      survived = check();
    }
    EXPECT_TRUE(survived.ok) << label << " (killed in " << phase << "): the destination does not open\n"
                             << survived.text;
    if (!survived.ok) return killed;
    if (killed) {
      EXPECT_TRUE(survived.revision == revision || survived.revision == next)
          << label << ": revision " << survived.revision << " after a kill between " << revision << " and " << next;
    } else {
      EXPECT_EQ(survived.revision, next) << label;
    }
    if (killed) kills.push_back({iteration, delay, phase, next, survived.revision});
    std::printf("[ crash    ] %s: %s in %-22s -> revision %d survives (%zu items listed)\n", label.c_str(),
                killed ? "killed" : "not killed", phase.c_str(), survived.revision, survived.contents.size());
    std::fflush(stdout);
    if (survived.revision > 0) restoreAndCompare(survived.revision, "after-kill-" + std::to_string(iteration));

    // The next run completes, and a prune leaves only what the revision needs.
    Outcome backup = runToEnd(backupArguments(), false);
    EXPECT_EQ(backup.status, 0) << label << " (killed in " << phase << "): the next backup failed\n"
                                << backup.describe();
    Outcome prune = runToEnd({"prune", source_, destination_});
    EXPECT_EQ(prune.status, 0) << label << ": prune failed\n" << prune.describe();
    expectExactlyTheRevisionFiles(next, label);
    if (revision > 0) dropExpected(revision);
    return killed;
  }

  bool encrypted_;
  std::mt19937_64 random_;
  TempDir work_;
  std::string source_;
  std::string destination_;
  std::vector<std::string> environment_;
  GeneratedTree tree_;
  std::vector<std::string> smallFiles_;
  std::vector<std::string> largeFiles_;
  std::vector<std::string> madeFolders_;
};

std::uint64_t Seed() {
  const char* text = std::getenv("QUORVEL_CRASH_SEED");
  if (text && *text) return std::strtoull(text, nullptr, 10);
  return static_cast<std::uint64_t>(std::random_device{}()) ^
         static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

int KillsPerDestination() {
#ifdef QUORVEL_CRASH_UNDER_ASAN
  return std::max(1, EnvironmentNumber("QUORVEL_CRASH_KILLS", 10));
#else
  return std::max(1, EnvironmentNumber("QUORVEL_CRASH_KILLS", 12));
#endif
}

int SmallFileCount() {
#ifdef QUORVEL_CRASH_UNDER_ASAN
  return 200;
#else
  return 320;
#endif
}

class CrashSafety : public ::testing::TestWithParam<bool> {};

TEST_P(CrashSafety, BackupsKilledAtRandomMomentsLeaveARestorableDestination) {
  ASSERT_EQ(::access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
  const bool encrypted = GetParam();
  const std::uint64_t seed = Seed() + (encrypted ? 1 : 0);
  std::printf("[ crash    ] %s destination, seed %llu (QUORVEL_CRASH_SEED=%llu repeats it)\n",
              encrypted ? "encrypted" : "plain", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seed - (encrypted ? 1 : 0)));
  const int wantedKills = KillsPerDestination();

  CrashLoop loop(encrypted, seed);
  loop.generateSource(SmallFileCount());
  ASSERT_FALSE(HasFatalFailure());
  std::uniform_real_distribution<double> fraction(0.0, 1.0);
  std::vector<KillRecord> kills;

  // How long a first, full run takes: on a scratch destination.
  double fullRun = 0;
  {
    std::vector<std::string> arguments = loop.backupArguments();
    arguments[2] = loop.work_ / "scratch";
    ProgramRun run(arguments, loop.environment_, loop.work_ / "logs");
    ASSERT_EQ(run.wait(kCommandLimitSeconds), 0) << run.outcome().describe();
    fullRun = run.seconds();
    fs::remove_all(loop.work_ / "scratch");
  }

  // The first run of all is killed: nothing or revision 1 survives.
  int iteration = 0;
  loop.killedIteration(iteration++, 0, fraction(loop.random_) * fullRun * 1.05, kills);
  ASSERT_FALSE(HasFailure());
  int revision = 1;

  // How long an incremental run takes (a change like those below, not killed).
  double incrementalRun = 0;
  {
    loop.mutate(iteration++);
    loop.snapshotExpected(revision + 1);
    ProgramRun run(loop.backupArguments(), loop.environment_, loop.work_ / "logs");
    ASSERT_EQ(run.wait(kCommandLimitSeconds), 0) << run.outcome().describe();
    incrementalRun = run.seconds();
    loop.dropExpected(revision);
    ++revision;
  }
  std::printf("[ crash    ] unkilled runs: full %.2f s, incremental %.2f s\n", fullRun, incrementalRun);

  // Kills spread over the whole run, its clean-up included.
  const int maximumIterations = wantedKills * 2 + 2;
  while (static_cast<int>(kills.size()) < wantedKills && iteration < maximumIterations) {
    loop.mutate(iteration);
    // Most moments are spread over the whole run; every third one follows
    // the announcement of one of the short closing phases, which a moment
    // drawn over the whole run seldom hits.
    static const char* const kClosingPhases[] = {kPhaseUploadBackupData, kPhaseVerifyBackupInfo,
                                                 kPhaseDeleteSpareBackupFiles};
    std::string atPhase;
    double delay = fraction(loop.random_) * incrementalRun * 1.05;
    if (iteration % 3 == 1) {
      atPhase = ProgressDisplay::PhaseDescription(kClosingPhases[(iteration / 3) % 3], "backup");
      delay = fraction(loop.random_) * 0.004;
    }
    double unkilled = 0;
    loop.killedIteration(iteration++, revision, delay, kills, atPhase, &unkilled);
    ASSERT_FALSE(HasFatalFailure());
    // A run that ended before its moment tells how long runs take now.
    if (unkilled > 0) incrementalRun = (incrementalRun + unkilled) / 2;
    ++revision;
    if (HasFailure()) break;  // one broken destination is enough to look at
  }

  // The last revision restores equal to the source as it is now.
  if (!HasFailure()) loop.restoreAndCompare(revision, "final");

  std::map<std::string, int> phases;
  int newerSurvived = 0;
  for (const KillRecord& kill : kills) {
    ++phases[kill.phase];
    if (kill.survivingRevision == kill.revisionMade) ++newerSurvived;
  }
  std::printf("[ crash    ] %zu kills over %d iterations (the new revision survived %d of them); last phase "
              "announced at the kill:\n",
              kills.size(), iteration, newerSurvived);
  for (const auto& [phase, count] : phases) std::printf("[ crash    ]   %-24s %d\n", phase.c_str(), count);
  std::vector<std::string> leftovers;
  for (const auto& entry : fs::directory_iterator(loop.work_ / "tmp")) leftovers.push_back(entry.path().filename());
  std::sort(leftovers.begin(), leftovers.end());
  std::printf("[ crash    ] temporary items left by killed runs: %zu", leftovers.size());
  for (std::size_t i = 0; i < leftovers.size() && i < 4; ++i) std::printf("%s %s", i ? "," : ":", leftovers[i].c_str());
  std::printf("%s\n", leftovers.size() > 4 ? ", ..." : "");
  std::fflush(stdout);
  if (!HasFailure()) {
    EXPECT_GE(static_cast<int>(kills.size()), wantedKills) << "runs ended before their kill too often";
  }
}

// The names created and renamed into place on a folder while a program runs
// (inotify), until it ends; the program is killed at the first creation of a
// name containing `killAtCreationOf` when that is not empty.
struct FolderEvents {
  std::vector<std::string> created;
  std::vector<std::string> movedIn;
  bool killed = false;
  int status = -1;
};

FolderEvents WatchRun(CrashLoop& loop, const std::string& folder, const std::string& killAtCreationOf) {
  FolderEvents events;
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(watch, 0);
  if (watch < 0) return events;
  EXPECT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO), 0) << folder;
  ProgramRun run(loop.backupArguments(), loop.environment_, loop.work_ / "logs");
  alignas(inotify_event) char buffer[64 * 1024];
  auto limit = Clock::now() + std::chrono::seconds(static_cast<long>(kCommandLimitSeconds));
  bool ended = false;
  while (!ended && Clock::now() < limit) {
    pollfd wait{watch, POLLIN, 0};
    ::poll(&wait, 1, 2);
    ssize_t length = ::read(watch, buffer, sizeof buffer);
    for (ssize_t offset = 0; length > 0 && offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      std::string name = event->len ? std::string(event->name) : std::string();
      if (event->mask & IN_CREATE) {
        events.created.push_back(name);
        if (!killAtCreationOf.empty() && !events.killed && name.find(killAtCreationOf) != std::string::npos) {
          events.killed = run.kill();
        }
      }
      if (event->mask & IN_MOVED_TO) events.movedIn.push_back(name);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (std::optional<int> status = run.poll()) {
      events.status = *status;
      ended = true;
    }
  }
  ::close(watch);
  return events;
}

class RevisionUpload : public ::testing::TestWithParam<bool> {};

// The revision data is written under another name and renamed into place
// complete, so no moment of a run leaves a cut-short revision file.
TEST_P(RevisionUpload, RevisionDataAppearsUnderItsNameOnlyWhenComplete) {
  ASSERT_EQ(::access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
  CrashLoop loop(GetParam(), 1);
  loop.generateSource(40);
  fs::create_directories(loop.destination_);
  FolderEvents events = WatchRun(loop, loop.destination_, std::string());
  ASSERT_EQ(events.status, 0) << loop.runToEnd({"check", loop.destination_}).describe();
  for (const std::string& name : events.created) {
    EXPECT_NE(name.rfind("Revision_", 0), 0u) << name << " was created (and written) under its final name";
  }
  EXPECT_EQ(std::count(events.movedIn.begin(), events.movedIn.end(), loop.revisionFileName(1)), 1)
      << JoinLines(events.movedIn);
  // Nothing of the upload is left over.
  loop.expectExactlyTheRevisionFiles(1, "after one run");
}

// A first run killed while it stores its revision data: the destination has
// no backup then (its only revision file would be cut short otherwise, and
// no command could open it), the next run completes and a prune removes the
// leftovers.
TEST_P(RevisionUpload, FirstRunKilledWhileStoringItsRevisionDataLeavesAUsableDestination) {
  ASSERT_EQ(::access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
  CrashLoop loop(GetParam(), 2);
  loop.generateSource(150);
  loop.snapshotExpected(1);
  int killedDuringTheUpload = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fs::remove_all(loop.destination_);
    fs::create_directories(loop.destination_);
    FolderEvents events = WatchRun(loop, loop.destination_, "Revision_");
    if (!events.killed) continue;
    ++killedDuringTheUpload;
    CrashLoop::CheckResult survived = loop.check();
    ASSERT_TRUE(survived.ok) << "attempt " << attempt << ": the destination does not open\n" << survived.text;
    // Killed as the upload began: at most a complete revision 1 is there.
    EXPECT_TRUE(survived.revision == 0 || survived.revision == 1) << "attempt " << attempt;
    if (survived.revision == 1) loop.restoreAndCompare(1, "killed-" + std::to_string(attempt));
    Outcome backup = loop.runToEnd(loop.backupArguments(), false);
    ASSERT_EQ(backup.status, 0) << "attempt " << attempt << ": the next backup failed\n" << backup.describe();
    Outcome prune = loop.runToEnd({"prune", loop.source_, loop.destination_});
    EXPECT_EQ(prune.status, 0) << prune.describe();
    loop.expectExactlyTheRevisionFiles(1, "attempt " + std::to_string(attempt));
    loop.restoreAndCompare(1, "attempt-" + std::to_string(attempt));
  }
  EXPECT_GT(killedDuringTheUpload, 0) << "no run was caught storing its revision data";
}

INSTANTIATE_TEST_SUITE_P(Destinations, RevisionUpload, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Encrypted") : std::string("Plain");
                         });

INSTANTIATE_TEST_SUITE_P(Destinations, CrashSafety, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Encrypted") : std::string("Plain");
                         });

}  // namespace
}  // namespace quorvel
