// The destination commands run as the real `quorvel` binary: usage errors,
// password sources and the refusal without a terminal, --json output of a
// failure, phase lines, SIGINT, the password prompt on a pseudo-terminal,
// and (once the engine runs these commands) a whole backup cycle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr const char* kNotSupported = "is not supported by this version";

std::string QuorvelBinary() { return std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel"; }
std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string ReadText(const std::string& path) {
  Data data = test::ReadFile(path);
  return std::string(data.begin(), data.end());
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `quorvel ARGUMENTS` through the shell with standard input from
// /dev/null; `environment` is prefixed to the command ("VAR=value ...").
Outcome Quorvel(const std::string& arguments, const std::string& environment = "") {
  TempDir scratch;
  Outcome run;
  std::string command = environment + " " + QuorvelBinary() + " " + arguments + " </dev/null 2>" +
                        Quoted(scratch / "err");
  run.status = test::RunShell(command, &run.out);
  run.err = ReadText(scratch / "err");
  return run;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void MakeExecutable(const std::string& path, const std::string& script) {
  WriteFile(path, script);
  ::chmod(path.c_str(), 0755);
}

// A small source tree and a destination folder holding an encrypted
// revision, made once for the file.
class DestinationCommandLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root = new TempDir();
    std::string base = root->path();
    ::mkdir((base + "/source").c_str(), 0755);
    ::mkdir((base + "/source/docs").c_str(), 0755);
    WriteFile(base + "/source/readme.txt", std::string(300, 'r'));
    WriteFile(base + "/source/docs/a.txt", std::string(5000, 'a'));
    WriteFile(base + "/source/docs/photo.jpg", std::string(20000, 'p'));
    ::mkdir((base + "/encrypted").c_str(), 0755);
    WriteFile(base + "/encrypted/Revision_0001.data.aes", std::string(64, '\x5a'));
    ::mkdir((base + "/plain").c_str(), 0755);
    WriteFile(base + "/plain/Revision_0001.data", std::string(64, '\x5a'));
    WriteFile(base + "/password", "correct horse\n");
    // A revision name that lists but cannot be downloaded (a folder): the
    // engine takes that for a network failure and asks whether to retry.
    ::mkdir((base + "/unreadable").c_str(), 0755);
    ::mkdir((base + "/unreadable/Revision_0001.data.aes").c_str(), 0755);
  }
  static void TearDownTestSuite() {
    delete root;
    root = nullptr;
  }
  static std::string Source() { return *root / "source"; }
  static std::string Encrypted() { return *root / "encrypted"; }
  static std::string Plain() { return *root / "plain"; }
  static std::string Unreadable() { return *root / "unreadable"; }
  static std::string PasswordFile() { return *root / "password"; }
  static TempDir* root;
};
TempDir* DestinationCommandLineTest::root = nullptr;

// ---- Usage -------------------------------------------------------------------------

TEST_F(DestinationCommandLineTest, UsageErrorsNameTheProblemAndExitWithTwo) {
  Outcome missing = Quorvel("backup " + Quoted(Source()));
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(Contains(missing.err, "DESTINATION is required")) << missing.err;

  Outcome both = Quorvel("check /tmp --password-env A --password-file /tmp/p");
  EXPECT_EQ(both.status, 2);
  EXPECT_TRUE(Contains(both.err, "--password-env excludes --password-file")) << both.err;

  Outcome range = Quorvel("backup /tmp /tmp/x --segment-size 500");
  EXPECT_EQ(range.status, 2);
  EXPECT_TRUE(Contains(range.err, "--segment-size")) << range.err;

  Outcome url = Quorvel("verify 'sftp://bad host/x'");
  EXPECT_EQ(url.status, 2);
  EXPECT_TRUE(Contains(url.err, "not a local path or a valid URL")) << url.err;

  Outcome unknown = Quorvel("restore /tmp/x --to /tmp --destination-too");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(Contains(unknown.err, "--destination-too")) << unknown.err;

  Outcome help = Quorvel("restore --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "--skip-verification")) << help.out;
  EXPECT_TRUE(Contains(help.out, "--password-file")) << help.out;

  Outcome overview = Quorvel("help");
  EXPECT_EQ(overview.status, 0);
  for (const char* word : {"backup", "restore", "check", "test", "verify", "prune", "delete", "check-source"}) {
    EXPECT_TRUE(Contains(overview.out, std::string("  ") + word + " ")) << word;
  }
}

// ---- Passwords -------------------------------------------------------------------------

TEST_F(DestinationCommandLineTest, UnsetPasswordVariableAndUnreadableFileFailWithOne) {
  Outcome unset = Quorvel("check " + Quoted(Plain()) + " --password-env QV_TEST_UNSET_VARIABLE",
                      "env -u QV_TEST_UNSET_VARIABLE");
  EXPECT_EQ(unset.status, 1);
  EXPECT_EQ(unset.err, "quorvel: the environment variable QV_TEST_UNSET_VARIABLE (--password-env) is not set\n");
  EXPECT_EQ(unset.out, "");

  std::string missing = *root / "no-such-password-file";
  Outcome file = Quorvel("check " + Quoted(Plain()) + " --password-file " + Quoted(missing));
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(file.err, "quorvel: cannot read the password file \"" + missing + "\" (No such file or directory)\n");
}

TEST_F(DestinationCommandLineTest, EncryptedBackupWithoutPasswordOrTerminalIsRefusedForEveryCommand) {
  std::string source = Quoted(Source());
  std::string destination = Quoted(Encrypted());
  TempDir target;
  for (const std::string& arguments :
       {"check " + destination, "verify " + destination, "delete " + destination,
        "restore " + destination + " --to " + Quoted(target.path()), "backup " + source + " " + destination,
        "test " + source + " " + destination, "prune " + source + " " + destination}) {
    Outcome run = Quorvel(arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_TRUE(Contains(run.err, "is encrypted")) << arguments << ": " << run.err;
    EXPECT_TRUE(Contains(run.err, "--password-env")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--password-file")) << run.err;
    // Refused before the engine ran: no phase was reported.
    EXPECT_FALSE(Contains(run.err, " started\n")) << run.err;
  }
  // The destination is untouched.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Encrypted()), {}), 1);

  Outcome json = Quorvel("check " + destination + " --json");
  EXPECT_EQ(json.status, 1);
  nlohmann::json results = nlohmann::json::parse(json.out);
  EXPECT_EQ(results["success"], false);
  ASSERT_EQ(results["errorMessages"].size(), 1u);
  EXPECT_TRUE(Contains(results["errorMessages"][0].get<std::string>(), "--password-file"));
}

TEST_F(DestinationCommandLineTest, GivenPasswordOrPlainBackupGoesOnToTheEngine) {
  // This revision cannot be read: a failed download is not retried here.
  Outcome withFile = Quorvel("check " + Quoted(Encrypted()) + " --max-retries 0 --password-file " +
                             Quoted(PasswordFile()));
  EXPECT_FALSE(Contains(withFile.err, "is encrypted")) << withFile.err;
  EXPECT_TRUE(Contains(withFile.err, "check started\n")) << withFile.err;

  Outcome withVariable = Quorvel("check " + Quoted(Encrypted()) + " --max-retries 0 --password-env QV_TEST_PASSWORD",
                             "QV_TEST_PASSWORD='correct horse'");
  EXPECT_FALSE(Contains(withVariable.err, "is encrypted")) << withVariable.err;
  EXPECT_TRUE(Contains(withVariable.err, "check started\n")) << withVariable.err;

  Outcome plain = Quorvel("check " + Quoted(Plain()) + " --max-retries 0");
  EXPECT_FALSE(Contains(plain.err, "is encrypted")) << plain.err;
  EXPECT_TRUE(Contains(plain.err, "check started\n")) << plain.err;
}

TEST_F(DestinationCommandLineTest, DataThatDoesNotDecryptFailsAtOnceWithoutRetries) {
  Outcome run = Quorvel("check " + Quoted(Encrypted()) + " --password-file " + Quoted(PasswordFile()));
  if (Contains(run.err, kNotSupported)) GTEST_SKIP() << "the engine does not run destination commands yet";
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_FALSE(Contains(run.err, "retrying in")) << run.err;
  EXPECT_TRUE(Contains(run.err, "(wrong password or damaged file)")) << run.err;
}

TEST_F(DestinationCommandLineTest, PasswordForAPlainBackupIsRefused) {
  Outcome run = Quorvel("restore " + Quoted(Plain()) + " --to /tmp --password-file " + Quoted(PasswordFile()));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quorvel: the backup at \"file://localhost" + Plain() +
                         "\" is not encrypted: leave out --password-env and --password-file\n");
}

// Runs quorvel on a pseudo-terminal, waits for the password prompt, then
// types `keys`; prints what the terminal showed and the exit status as JSON.
constexpr const char* kPtyScript = R"PY(
import json, os, pty, select, sys, time
binary, destination, keys = sys.argv[1], sys.argv[2], sys.argv[3].encode().decode('unicode_escape').encode()
pid, fd = pty.fork()
if pid == 0:
    os.execv(binary, [binary, 'check', destination, '--max-retries', '0'])
out = b''
def pump(until, timeout):
    global out
    end = time.time() + timeout
    while time.time() < end and (until is None or until not in out):
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                return
            if not data:
                return
            out += data
prompted = False
pump(b'Password for', 20)
prompted = b'Password for' in out
time.sleep(0.2)
os.write(fd, keys)
pump(None, 20)
_, status = os.waitpid(pid, 0)
print(json.dumps({'prompted': prompted, 'output': out.decode('utf-8', 'replace'),
                  'status': os.waitstatus_to_exitcode(status)}))
)PY";

nlohmann::json RunOnTerminal(const std::string& destination, const std::string& keys) {
  TempDir scratch;
  WriteFile(scratch / "prompt.py", kPtyScript);
  std::string output;
  std::string command = test::Python() + " " + Quoted(scratch / "prompt.py") + " " + Quoted(QuorvelBinary()) + " " +
                        Quoted(destination) + " " + Quoted(keys);
  EXPECT_EQ(test::RunShell(command, &output), 0);
  return nlohmann::json::parse(output);
}

TEST_F(DestinationCommandLineTest, OnATerminalThePasswordIsAskedForWithoutEcho) {
  nlohmann::json run = RunOnTerminal(Encrypted(), "typed secret\\n");
  std::string output = run["output"];
  EXPECT_TRUE(run["prompted"].get<bool>()) << output;
  EXPECT_TRUE(Contains(output, "Password for the backup at \"file://localhost" + Encrypted() + "\": ")) << output;
  EXPECT_FALSE(Contains(output, "typed secret")) << output;
  // The command went on to the engine (which cannot read this revision).
  EXPECT_FALSE(Contains(output, "is encrypted")) << output;
  EXPECT_TRUE(Contains(output, "quorvel: check failed")) << output;
  EXPECT_EQ(run["status"], 1);
}

TEST_F(DestinationCommandLineTest, InterruptAtThePasswordPromptExitsWith130) {
  nlohmann::json run = RunOnTerminal(Encrypted(), "\\x03");
  std::string output = run["output"];
  EXPECT_TRUE(run["prompted"].get<bool>()) << output;
  EXPECT_EQ(run["status"], 130) << output;
  EXPECT_TRUE(Contains(output, "quorvel: check interrupted")) << output;
}

// ---- Failures, phases, --json ------------------------------------------------------------

TEST_F(DestinationCommandLineTest, FailedCommandPrintsItsResultsAsJson) {
  std::string missing = *root / "no-such-destination";
  Outcome run = Quorvel("check " + Quoted(missing) + " --json");
  EXPECT_EQ(run.status, 1);
  nlohmann::json results = nlohmann::json::parse(run.out);
  ASSERT_TRUE(results.is_object());
  EXPECT_EQ(results["success"], false);
  EXPECT_TRUE(results["startDate"].is_string());
  EXPECT_TRUE(results["duration"].is_number());
  ASSERT_TRUE(results["errorMessages"].is_array());
  ASSERT_FALSE(results["errorMessages"].empty());
  // Each message also reached standard error as it arrived, then the verdict.
  for (const auto& message : results["errorMessages"]) {
    EXPECT_TRUE(Contains(run.err, message.get<std::string>() + "\n")) << run.err;
  }
  EXPECT_TRUE(run.err.ends_with("quorvel: check failed\n")) << run.err;
  EXPECT_FALSE(results.contains("directoryScanner"));

  Outcome text = Quorvel("check " + Quoted(missing));
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.out, "");
}

TEST_F(DestinationCommandLineTest, PhasesAreListedOnePerLineWhenStandardErrorIsNotATerminal) {
  TempDir work;
  MakeExecutable(work / "pre", "#!/bin/sh\nexit 0\n");
  Outcome run = Quorvel("check " + Quoted(Plain()) + " --pre " + Quoted(work / "pre"));
  EXPECT_TRUE(run.err.starts_with("running the command before\ncheck started\n")) << run.err;
  EXPECT_FALSE(Contains(run.err, "\r")) << run.err;
  EXPECT_FALSE(Contains(run.err, "\033[")) << run.err;
}

TEST_F(DestinationCommandLineTest, BackupCreatesAMissingLocalFolderAndAFailingPreExecutableStopsIt) {
  TempDir work;
  MakeExecutable(work / "pre", "#!/bin/sh\nexit 3\n");
  std::string destination = work / "new/dest";
  Outcome run = Quorvel("backup " + Quoted(Source()) + " " + Quoted(destination) + " --pre " +
                        Quoted(work / "pre") + " --json");
  EXPECT_EQ(run.status, 1);
  nlohmann::json results = nlohmann::json::parse(run.out);
  EXPECT_EQ(results["success"], false);
  EXPECT_FALSE(Contains(run.err, kNotSupported)) << "the command itself must not have run: " << run.err;
  struct stat status {};
  ASSERT_EQ(::stat(destination.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  // Other commands never create a destination.
  std::string other = work / "other";
  Quorvel("check " + Quoted(other));
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(DestinationCommandLineTest, HooksNeverSeeThePasswordVariable) {
  TempDir work;
  MakeExecutable(work / "pre", "#!/bin/sh\nenv > \"$0.env\"\necho \"$@\" > \"$0.args\"\nexit 3\n");
  Outcome run = Quorvel("backup " + Quoted(Source()) + " " + Quoted(work / "dest") + " --pre " + Quoted(work / "pre") +
                            " --password-env QV_TEST_PASSWORD",
                        "QV_TEST_PASSWORD='hook must not see this'");
  EXPECT_EQ(run.status, 1) << run.err;  // the hook's own failure
  const std::string environment = ReadText(work / "pre.env");
  ASSERT_FALSE(environment.empty()) << "the hook did not run: " << run.err;
  EXPECT_FALSE(Contains(environment, "QV_TEST_PASSWORD")) << environment;
  EXPECT_FALSE(Contains(environment, "hook must not see this")) << environment;
}

// A run whose own environment is broken fails with the cause; a run that
// finished but left items out exits 3 (incomplete), in --json too.
TEST_F(DestinationCommandLineTest, BrokenEnvironmentFailsAndLeftOutItemsExitWithThree) {
  TempDir work;
  struct Case {
    const char* what;
    std::string environment;
    const char* message;
  };
  const Case broken[] = {
      {"no temporary folder", "TMPDIR=" + Quoted(work / "missing"), "Failed preparing temporary files"},
      {"no archive tool", "QUORVEL_DITTO=" + Quoted(work / "missing-ditto"), "Failed finding the archive tool"},
  };
  for (const Case& c : broken) {
    const std::string destination = work / (std::string("dest-") + c.what);
    Outcome run = Quorvel("backup " + Quoted(Source()) + " " + Quoted(destination) + " --json", c.environment);
    EXPECT_EQ(run.status, 1) << c.what << ": " << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << c.what << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(destination + "/Revision_0001.data")) << c.what;
  }

  const std::string destination = work / "dest";
  ASSERT_EQ(Quorvel("backup " + Quoted(Source()) + " " + Quoted(destination)).status, 0);
  Outcome partial = Quorvel("restore " + Quoted(destination) + " --to " + Quoted(work / "restored") +
                            " readme.txt not-in-the-backup --json");
  EXPECT_EQ(partial.status, 3) << partial.err;
  EXPECT_TRUE(Contains(partial.err, "left out 1 item")) << partial.err;
  nlohmann::json results = nlohmann::json::parse(partial.out);
  EXPECT_EQ(results["exitStatus"], 3);
  EXPECT_TRUE(std::filesystem::exists(work / "restored/readme.txt")) << "a missing --to folder is made";
}

TEST_F(DestinationCommandLineTest, MissingIncompressibleListIsAWarningOnly) {
  TempDir resources;
  std::filesystem::copy_file(std::string(QUORVEL_SOURCE_DIR) + "/resources/BackupController.strings",
                             resources / "BackupController.strings");
  TempDir work;
  MakeExecutable(work / "pre", "#!/bin/sh\nexit 3\n");
  Outcome run = Quorvel("backup " + Quoted(Source()) + " " + Quoted(work / "dest") + " --pre " + Quoted(work / "pre"),
                        "QUORVEL_RESOURCES_DIR=" + Quoted(resources.path()));
  EXPECT_TRUE(run.err.starts_with("quorvel: warning: cannot read \"" + (resources / "Incompressible.plist") + "\""))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "; every file will be compressed\nrunning the command before\n")) << run.err;
  EXPECT_EQ(run.status, 1);  // the pre-executable's failure
}

// ---- SIGINT ----------------------------------------------------------------------------------

// Starts quorvel with a pre-executable that hangs, interrupts it once the
// executable runs, and answers the exit status, the seconds the clean-up
// took, and what the command printed.
struct Interrupted {
  bool reached = false;
  int status = -1;
  double seconds = 0;
  std::string out;
  std::string err;
};

// Starts quorvel (standard input /dev/null, output to work/out and
// work/err), waits until `ready` holds (at most 30 s), sends SIGINT and waits
// for the process.
Interrupted InterruptWhen(std::vector<std::string> arguments, const TempDir& work,
                          const std::function<bool()>& ready) {
  Interrupted result;
  arguments.insert(arguments.begin(), QuorvelBinary());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (work / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (work / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);
  if (spawned != 0) return result;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool reached = false;
  while (!(reached = ready()) && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {  // ended before it was interrupted
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
      result.out = ReadText(work / "out");
      result.err = ReadText(work / "err");
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.reached = reached;
  auto interrupted = std::chrono::steady_clock::now();
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  result.out = ReadText(work / "out");
  result.err = ReadText(work / "err");
  return result;
}

// Interrupts the command while its pre-executable hangs.
Interrupted InterruptWhileRunning(std::vector<std::string> arguments, const TempDir& work) {
  std::string marker = work / "started";
  MakeExecutable(work / "pre", "#!/bin/sh\ntouch '" + marker + "'\nexec sleep 30\n");
  MakeExecutable(work / "post", "#!/bin/sh\ntouch '" + (work / "post-ran") + "'\n");
  arguments.insert(arguments.end(), {"--pre", work / "pre", "--post-failure", work / "post"});
  Interrupted result = InterruptWhen(arguments, work, [&] { return ::access(marker.c_str(), F_OK) == 0; });
  EXPECT_TRUE(result.reached) << "the pre-executable never ran: " << result.err;
  return result;
}

TEST_F(DestinationCommandLineTest, InterruptCancelsABackupAndExitsWith130) {
  TempDir work;
  Interrupted run = InterruptWhileRunning({"backup", Source(), work / "dest", "--password-file", PasswordFile()}, work);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_LT(run.seconds, 10.0);
  EXPECT_TRUE(run.err.ends_with("quorvel: backup interrupted\n")) << run.err;
  EXPECT_EQ(run.out, "");
  // The frame finished: a failed pre-executable runs no post-executable.
  EXPECT_NE(::access((work / "post-ran").c_str(), F_OK), 0);
}

TEST_F(DestinationCommandLineTest, InterruptWithJsonStillPrintsTheResults) {
  TempDir work;
  Interrupted run = InterruptWhileRunning({"verify", Plain(), "--json"}, work);
  EXPECT_EQ(run.status, 130) << run.err;
  nlohmann::json results = nlohmann::json::parse(run.out);
  EXPECT_EQ(results["success"], false);
  ASSERT_TRUE(results["errorMessages"].is_array());
  EXPECT_NE(std::find(results["errorMessages"].begin(), results["errorMessages"].end(), "[User Cancellation]"),
            results["errorMessages"].end())
      << run.out;
}

// Needs an engine that asks whether to retry a failed download of the
// revision data (this revision cannot be downloaded).
TEST_F(DestinationCommandLineTest, InterruptDuringTheWaitForARetryExitsWith130AtOnce) {
  TempDir work;
  std::string errors = work / "err";
  Interrupted run = InterruptWhen({"check", Unreadable(), "--password-file", PasswordFile()}, work, [&] {
    return std::filesystem::exists(errors) && Contains(ReadText(errors), "retrying in");
  });
  if (Contains(run.err, kNotSupported)) GTEST_SKIP() << "the engine does not run destination commands yet";
  ASSERT_TRUE(run.reached) << run.err;
  EXPECT_TRUE(Contains(run.err, "network error: retrying in 10s (retry 1 of 6)\n")) << run.err;
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_LT(run.seconds, 5.0);  // the 10 s wait was not sat out
  EXPECT_TRUE(run.err.ends_with("quorvel: check interrupted\n")) << run.err;
}

// Needs the same engine behaviour; sits out one real 10 s wait.
TEST_F(DestinationCommandLineTest, RetriesOnceAfterTheWaitThenGivesUp) {
  auto started = std::chrono::steady_clock::now();
  Outcome run = Quorvel("check " + Quoted(Unreadable()) + " --max-retries 1 --password-file " + Quoted(PasswordFile()));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (Contains(run.err, kNotSupported)) GTEST_SKIP() << "the engine does not run destination commands yet";
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_TRUE(Contains(run.err, "network error: retrying in 10s (retry 1 of 1)\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, "quorvel: network error: giving up after 1 retries in a row\n")) << run.err;
  EXPECT_FALSE(Contains(run.err, "retry 2")) << run.err;
  // Two attempts to download the revision data, with the wait between them.
  std::size_t first = run.err.find("Failed downloading backup data");
  ASSERT_NE(first, std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Failed downloading backup data", first + 1), std::string::npos) << run.err;
  EXPECT_GE(seconds, 9.5);
  EXPECT_TRUE(run.err.ends_with("quorvel: check failed\n")) << run.err;
}

// ---- With the engine's destination commands ------------------------------------------------

// A destination that cannot be used fails at once, with its cause in one
// line (the same in --json), and nothing is created.
TEST_F(DestinationCommandLineTest, UnusableDestinationsAreRefusedWithTheirCause) {
  TempDir work;
  struct Case {
    std::string destination;
    std::string cause;
  } cases[] = {
      {"ftp//x", "\"ftp//x\" looks like a mistyped URL (a URL starts with \"ftp://\")"},
      {"smb:/nas/share", "looks like a mistyped URL (a URL starts with \"smb://\")"},
      {"gopher://x/y", "unknown URL scheme \"gopher\" (supported: afp, file, "},
      {"s3://bucket/b", "an S3 destination needs an access key ID (s3://KEY@BUCKET/PATH or $AWS_ACCESS_KEY_ID)"},
  };
  for (const Case& c : cases) {
    Outcome run = Quorvel("backup " + Quoted(Source()) + " " + Quoted(c.destination) + " --json", "cd " +
                                                                                          Quoted(work.path()) + " &&");
    EXPECT_EQ(run.status, 1) << c.destination;
    EXPECT_TRUE(Contains(run.err, c.cause)) << c.destination << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    nlohmann::json results = nlohmann::json::parse(run.out);
    EXPECT_TRUE(Contains(results["errorMessages"][0].get<std::string>(), c.cause)) << run.out;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work.path()), {}), 0);
  // A folder whose name starts like a scheme is still reachable as a path.
  Outcome folder = Quorvel("check " + Quoted("./ftp//x"), "cd " + Quoted(work.path()) + " &&");
  EXPECT_FALSE(Contains(folder.err, "mistyped")) << folder.err;
  // The help names what this build supports, as the messages do.
  const std::string help = Quorvel("help").out;
  const std::string refusal = Quorvel("check gopher://x/y").err;
  const std::size_t listed = refusal.find("(supported: ");
  ASSERT_NE(listed, std::string::npos) << refusal;
  const std::string schemes = refusal.substr(listed + 12, refusal.find(')', listed) - listed - 12);
  EXPECT_TRUE(Contains(help, "a URL of a scheme this build supports: " + schemes + ".")) << schemes << "\n" << help;
}

// A destination inside its own source is left out of the scan: the second
// run finds nothing new.
TEST_F(DestinationCommandLineTest, ADestinationInsideItsSourceIsLeftOut) {
  TempDir work;
  std::filesystem::copy(Source(), work / "data", std::filesystem::copy_options::recursive);
  const std::string destination = work / "data/backups/mine";
  Outcome first = Quorvel("backup " + Quoted(work / "data") + " " + Quoted(destination));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Contains(first.err, "the destination is inside the source; \"backups/mine\" is left out")) << first.err;
  EXPECT_TRUE(Contains(first.out, "first backup, 3 files stored")) << first.out;
  Outcome second = Quorvel("backup " + Quoted(work / "data") + " " + Quoted(destination) + " --json");
  ASSERT_EQ(second.status, 0) << second.err;
  nlohmann::json results = nlohmann::json::parse(second.out);
  EXPECT_EQ(results["copiedFiles"], 0) << second.out;
  EXPECT_FALSE(results.contains("changedPaths")) << second.out;
}

TEST_F(DestinationCommandLineTest, BackupCheckTestRestoreVerifyAndDeleteThroughTheEngine) {
  TempDir work;
  std::string destination = work / "dest";
  std::string password = "QV_TEST_PASSWORD='correct horse'";
  std::string withPassword = " --password-env QV_TEST_PASSWORD";
  Outcome backup = Quorvel("backup " + Quoted(Source()) + " " + Quoted(destination) + withPassword, password);
  if (Contains(backup.err, kNotSupported)) GTEST_SKIP() << "the engine does not run destination commands yet";
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_TRUE(Contains(backup.out, "first backup, 3 files stored, 0 skipped.")) << backup.out;
  EXPECT_TRUE(std::filesystem::exists(destination + "/Revision_0001.data.aes"));

  Outcome check = Quorvel("check " + Quoted(destination) + withPassword + " --json", password);
  ASSERT_EQ(check.status, 0) << check.err;
  nlohmann::json results = nlohmann::json::parse(check.out);
  EXPECT_EQ(results["directoryScanner"]["revision"], 1);
  EXPECT_EQ(results["directoryScanner"]["dates"].size(), 1u);
  EXPECT_EQ(results["sourceFiles"], 3);

  Outcome refused = Quorvel("check " + Quoted(destination));
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Contains(refused.err, "--password-env")) << refused.err;

  Outcome unchanged = Quorvel("test " + Quoted(Source()) + " " + Quoted(destination) + withPassword + " --json", password);
  ASSERT_EQ(unchanged.status, 0) << unchanged.err;
  EXPECT_FALSE(nlohmann::json::parse(unchanged.out).contains("changedPaths")) << unchanged.out;

  TempDir target;
  Outcome restore = Quorvel("restore " + Quoted(destination) + " --to " + Quoted(target.path()) + withPassword, password);
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(ReadText(target / "source/docs/a.txt"), std::string(5000, 'a'));
  EXPECT_EQ(ReadText(target / "source/docs/photo.jpg"), std::string(20000, 'p'));

  Outcome verify = Quorvel("verify " + Quoted(destination) + withPassword, password);
  EXPECT_EQ(verify.status, 0) << verify.err;

  Outcome remove = Quorvel("delete " + Quoted(destination) + withPassword + " --destination-too", password);
  EXPECT_EQ(remove.status, 0) << remove.err;
  EXPECT_FALSE(std::filesystem::exists(destination));
}

}  // namespace
}  // namespace quorvel
