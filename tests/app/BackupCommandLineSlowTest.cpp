// The built program end to end: "quorvel backup" with a password from the
// environment, checked from outside (openssl, the revision data decoded from
// the stored bytes, a restore with "quorvel restore"), and an interrupt
// (SIGINT) in the middle of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/ArchiveSupport.h"
#include "engine/BackupStorage.h"
#include "snapshot/DirectoryScanner.h"
#include "support/GeneratedTree.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace test;

const std::string kProgram = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";

std::string Quote(const std::string& path) { return "'" + path + "'"; }

struct Child {
  pid_t pid = -1;
  // Exit status, or 128 + signal, or -1 when it did not end in time.
  int wait(double seconds) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    int status = 0;
    while (std::chrono::steady_clock::now() < limit) {
      pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(20000);
    }
    return -1;
  }
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// Starts the program with extra environment entries, output to files in `logs`.
void Start(Child& child, const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
           const std::string& logs) {
  child.pid = ::fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    int out = ::open((logs + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open((logs + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kProgram.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(kProgram.c_str(), argv.data());
    ::_exit(127);
  }
}

std::string Log(const std::string& logs, const char* name) {
  Data bytes = ReadFile(logs + "/" + name);
  return std::string(bytes.begin(), bytes.end());
}

std::set<std::string> Listing(const std::string& folder) {
  std::string output;
  RunShell("ls -A " + Quote(folder), &output);
  std::set<std::string> names;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end > start) names.insert(output.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

class BackupCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kProgram.c_str(), X_OK), 0) << kProgram << " is not built";
    GeneratedTreeOptions options;
    options.segmentSize = 1 << 20;
    options.severalSegments = 2;
    options.smallFileCount = 40;
    tree = GenerateTree(work / "Documents", options);
    destination = work / "destination";
    ::mkdir(destination.c_str(), 0755);
    logs = work / "logs";
    ::mkdir(logs.c_str(), 0755);
    home = work / "home";
    ::mkdir(home.c_str(), 0755);
  }

  std::vector<std::string> Environment() const {
    return {"QV_TEST_PASSWORD=open sesame", "QUORVEL_HOME=" + home, "QUORVEL_KEYCHAIN=file"};
  }

  int Backup(std::vector<std::string> extra = {}, std::vector<std::string> environment = {}) {
    Child child;
    std::vector<std::string> arguments = {"backup", tree.root, destination, "--password-env", "QV_TEST_PASSWORD",
                                          "--segment-size", "1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<std::string> all = Environment();
    all.insert(all.end(), environment.begin(), environment.end());
    Start(child, arguments, all, logs);
    return child.wait(120);
  }

  TempDir work;
  GeneratedTree tree;
  std::string destination;
  std::string logs;
  std::string home;
};

TEST_F(BackupCommandLine, BacksUpWithAPasswordFromTheEnvironmentAndRestores) {
  ASSERT_EQ(Backup(), 0) << Log(logs, "stderr");
  std::set<std::string> names = Listing(destination);
  ASSERT_TRUE(names.count("Revision_0001.data.aes")) << Log(logs, "stderr");
  for (const std::string& name : names) EXPECT_EQ(PathExtension(name), "aes") << name;

  // The revision data decrypts with openssl and names exactly what is stored.
  ASSERT_EQ(RunShell("openssl enc -d -aes-256-cbc -md md5 -nosalt -pass 'pass:open sesame' -in " +
                     Quote(destination + "/Revision_0001.data.aes") + " -out " + Quote(work / "revision") + " 2>/dev/null"),
            0);
  DirectoryScannerPtr revision = DirectoryScanner::initWithSerializedData(ReadFile(work / "revision"));
  ASSERT_TRUE(revision);
  std::set<std::string> stored(names);
  stored.erase("Revision_0001.data.aes");
  std::set<std::string> recorded;
  for (const auto& [name, information] : revision->userInfoForKey(kBackupFilesKey).asDictionary()) {
    recorded.insert(name);
  }
  EXPECT_EQ(recorded, stored);

  // Unchanged: the second run leaves the destination as it was.
  ASSERT_EQ(Backup(), 0) << Log(logs, "stderr");
  EXPECT_EQ(Listing(destination), names);

  // And it all comes back.
  Child restore;
  std::string target = work / "restored";
  ::mkdir(target.c_str(), 0755);
  Start(restore, {"restore", destination, "--to", target, "--password-env", "QV_TEST_PASSWORD"}, Environment(), logs);
  int status = restore.wait(120);
  ASSERT_EQ(status, 0) << Log(logs, "stderr");
  std::string restoredRoot = target + "/Documents";
  if (::access(restoredRoot.c_str(), F_OK) != 0) restoredRoot = target;
  EXPECT_EQ(TreeDifferences(tree.root, restoredRoot), std::vector<std::string>{}) << Log(logs, "stderr");
}

TEST_F(BackupCommandLine, InterruptStopsTheRunAndLeavesTheDestinationAsItWas) {
  ASSERT_EQ(Backup(), 0) << Log(logs, "stderr");
  std::set<std::string> before = Listing(destination);
  // Plenty of new work, and archives that take a while to make.
  for (int i = 0; i < 3; ++i) {
    WriteFile(tree.root + "/large-" + std::to_string(i) + ".bin", GeneratedContents("large", (1 << 20) + 10, i));
  }
  for (int i = 0; i < 8; ++i) {
    WriteFile(tree.root + "/small/chunk-" + std::to_string(i) + ".bin",
              GeneratedContents("chunk", 600 * 1024, static_cast<std::uint32_t>(i)));
  }
  std::string wrapper = work / "slow-ditto";
  WriteFile(wrapper, "#!/bin/sh\nsleep 0.5\nexec '" + DittoToolPath() + "' \"$@\"\n");
  ::chmod(wrapper.c_str(), 0755);
  // DittoToolPath() of this process finds the tool next to the test binaries;
  // the program finds it next to itself unless told otherwise.
  std::vector<std::string> environment = Environment();
  environment.push_back("QUORVEL_DITTO=" + wrapper);

  Child child;
  Start(child, {"backup", tree.root, destination, "--password-env", "QV_TEST_PASSWORD", "--segment-size", "1",
                "--parallel", "1"},
        environment, logs);
  // Wait until the run has stored something of its own.
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool created = false;
  while (!created && std::chrono::steady_clock::now() < limit) {
    for (const std::string& name : Listing(destination)) {
      if (!before.count(name)) created = true;
    }
    if (!created) ::usleep(20000);
  }
  ASSERT_TRUE(created) << Log(logs, "stderr");
  ::usleep(300000);
  ASSERT_EQ(::kill(child.pid, SIGINT), 0);
  EXPECT_EQ(child.wait(60), 130) << Log(logs, "stderr");
  EXPECT_NE(Log(logs, "stderr").find("interrupted"), std::string::npos) << Log(logs, "stderr");
  EXPECT_EQ(Listing(destination), before);

  // The previous revision is still the destination's backup.
  ASSERT_EQ(Backup(), 0) << Log(logs, "stderr");
  EXPECT_TRUE(Listing(destination).count("Revision_0002.data.aes"));
  EXPECT_FALSE(Listing(destination).count("Revision_0001.data.aes"));
}

}  // namespace
}  // namespace quorvel
