// SFTP destinations against a real OpenSSH server on 127.0.0.1 with its own
// configuration, host key and test user, through the quorvel binary as a
// user runs it. The suite starts the server itself (installing the Debian
// packages when they are missing and it may) and skips with the reason when
// it cannot: no root (for the test user), no packages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "FileTransferController/TransferTestSupport.h"
#include "support/GeneratedTree.h"
#include "support/TreeComparison.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

const char* kUser = "quorvelsftp";
const char* kPassword = "sftp pass 1";

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// One sshd for the suite: password and public-key login for one user, one
// ed25519 host key (so that the offered key is known in advance).
class SshServer {
 public:
  std::string start() {
    if (geteuid() != 0) return "needs root to create the test user";
    if (access("/usr/sbin/sshd", X_OK) != 0 || !HaveProgram("ssh-keygen")) {
      std::printf("installing openssh-server...\n");
      RunShell("DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends openssh-server "
               "openssh-client >/dev/null 2>&1");
      if (access("/usr/sbin/sshd", X_OK) != 0) return "openssh-server could not be installed";
    }
    root_ = std::make_unique<TempDir>();
    chmod(root_->path().c_str(), 0755);  // the test user reaches its home through it
    home = *root_ / "home";
    mkdir(home.c_str(), 0755);
    mkdir("/run/sshd", 0755);
    if (RunShell(std::string("id ") + kUser + " >/dev/null 2>&1") != 0) {
      if (RunShell(std::string("useradd -M -s /bin/sh ") + kUser + " >/dev/null 2>&1") != 0) return "useradd failed";
      createdUser_ = true;
    }
    RunShell(std::string("usermod -d '") + home + "' " + kUser + " >/dev/null 2>&1");
    if (RunShell(std::string("echo '") + kUser + ":" + kPassword + "' | chpasswd") != 0) return "chpasswd failed";
    RunShell(std::string("chown ") + kUser + ": '" + home + "'");
    if (!makeHostKey()) return "ssh-keygen failed";
    clientKey = *root_ / "client_ed25519";
    if (RunShell("ssh-keygen -q -t ed25519 -N '' -f '" + clientKey + "'") != 0) return "ssh-keygen failed";
    WriteFile(*root_ / "authorized_keys", ReadTextFile(clientKey + ".pub"));
    port = FreeLoopbackPort();
    WriteFile(*root_ / "sshd_config",
              "Port " + std::to_string(port) + "\n"
              "ListenAddress 127.0.0.1\n"
              "ListenAddress [::1]:" + std::to_string(port) + "\n"
              "HostKey " + (*root_ / "host_key") + "\n"
              "PidFile " + (*root_ / "sshd.pid") + "\n"
              "UsePAM no\n"
              "PasswordAuthentication yes\n"
              "KbdInteractiveAuthentication no\n"
              "PubkeyAuthentication yes\n"
              "AuthorizedKeysFile " + (*root_ / "authorized_keys") + "\n"
              "StrictModes no\n"
              "AllowUsers " + kUser + "\n"
              "UseDNS no\n"
              "Subsystem sftp internal-sftp\n");
    return launch();
  }

  // Starts sshd; empty when it accepts connections, else why not.
  std::string launch() {
    if (RunShell("/usr/sbin/sshd -f '" + (*root_ / "sshd_config") + "' -E '" + (*root_ / "sshd.log") +
                 "' </dev/null >/dev/null 2>&1") != 0) {
      return "sshd did not start: " + ReadTextFile(*root_ / "sshd.log");
    }
    for (int i = 0; i < 100 && !LoopbackPortAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!LoopbackPortAccepts(port)) return "sshd does not accept connections on port " + std::to_string(port);
    return "";
  }

  // Ends sshd and every session it serves, as a server that goes away does.
  void halt() {
    std::string pid = Trimmed(ReadTextFile(*root_ / "sshd.pid"));
    if (pid.empty()) return;
    RunShell("pkill -KILL -P " + pid + "; kill -KILL " + pid);
    for (int i = 0; i < 100 && LoopbackPortAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    unlink((*root_ / "sshd.pid").c_str());
  }

  void stop() {
    halt();
    if (createdUser_) RunShell(std::string("userdel ") + kUser + " >/dev/null 2>&1");
    root_.reset();
  }

  // A new host key, picked up by sshd at once (SIGHUP makes it start over).
  bool replaceHostKey() {
    if (!makeHostKey()) return false;
    RunShell("kill -HUP " + Trimmed(ReadTextFile(*root_ / "sshd.pid")));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int i = 0; i < 100 && !LoopbackPortAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return LoopbackPortAccepts(port);
  }

  std::string url(const std::string& folder) const {
    return std::string("sftp://") + kUser + "@127.0.0.1:" + std::to_string(port) + home + "/" + folder;
  }

  std::string home;
  std::string clientKey;
  std::string hostKeyFingerprint;
  int port = 0;

 private:
  bool makeHostKey() {
    std::string key = *root_ / "host_key";
    unlink(key.c_str());
    unlink((key + ".pub").c_str());
    if (RunShell("ssh-keygen -q -t ed25519 -N '' -f '" + key + "'") != 0) return false;
    RunShell("ssh-keygen -lf '" + key + ".pub' | awk '{print $2}'", &hostKeyFingerprint);
    hostKeyFingerprint = Trimmed(hostKeyFingerprint);
    return !hostKeyFingerprint.empty();
  }

  std::unique_ptr<TempDir> root_;
  bool createdUser_ = false;
};

SshServer* gServer = nullptr;
std::string gSkipReason;

class SftpServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gServer = new SshServer();
    gSkipReason = gServer->start();
    if (!gSkipReason.empty()) std::printf("SFTP tests skipped: %s\n", gSkipReason.c_str());
  }
  static void TearDownTestSuite() {
    gServer->stop();
    delete gServer;
    gServer = nullptr;
  }
  void SetUp() override {
    if (!gSkipReason.empty()) GTEST_SKIP() << gSkipReason;
    mkdir((work / "home").c_str(), 0700);
  }

  // Runs the quorvel binary with HOME in the work folder; the exit status,
  // with standard output and error in *output.
  int quorvel(const std::string& arguments, std::string* output) {
    const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
    int status = RunShell("HOME='" + (work / "home") + "' QUORVEL_KEYCHAIN=file QUORVEL_HOME='" +
                          (work / "settings") + "' SERVER_PW='" + kPassword + "' WRONG_PW='not it' PW='secret' '" +
                          binary + "' " + arguments + " </dev/null >'" + (work / "output") + "' 2>&1");
    *output = ReadTextFile(work / "output");
    return status;
  }

  // Names, sizes and modes of the stored files, one line each.
  std::string storedListing(const std::string& folder) {
    std::string listing;
    RunShell("cd '" + gServer->home + "/" + folder + "' && stat -c '%n %s %a %Y' * | sort", &listing);
    return listing;
  }

  TempDir work;
};

// Everything a user does with an SFTP destination, with password login: the
// host key asked about, backup, an unchanged run, a run after changes, full
// and selected restores, verify (also of a damaged file), prune and delete.
TEST_F(SftpServer, TheCommandLineRunsEveryCommandThroughTheServer) {
  GeneratedTreeOptions options;
  options.smallFileCount = 30;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string url = gServer->url("backups/source");
  const std::string common = " --password-env PW --server-password-env SERVER_PW";
  std::string output;

  // Without consent an unknown host is refused at once, naming its key.
  EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common, &output), 1) << output;
  EXPECT_NE(output.find(gServer->hostKeyFingerprint), std::string::npos) << output;
  EXPECT_NE(access((work / "home/.ssh/known_hosts").c_str(), F_OK), 0);

  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1 --accept-new-host-key" + common,
                    &output),
            0)
      << output;
  EXPECT_NE(ReadTextFile(work / "home/.ssh/known_hosts").find("[127.0.0.1]:" + std::to_string(gServer->port)),
            std::string::npos);
  // Nobody else on the server reads the backup.
  struct stat status;
  ASSERT_EQ(stat((gServer->home + "/backups/source").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((gServer->home + "/backups").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  const std::string stored = storedListing("backups/source");
  EXPECT_EQ(stored.find(" 644 "), std::string::npos) << stored;
  EXPECT_NE(stored.find(" 600 "), std::string::npos) << stored;

  // An unchanged run stores nothing; a changed file is stored again.
  EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;
  EXPECT_EQ(storedListing("backups/source"), stored);
  WriteFile(tree.root + "/small/file-003.txt", "changed contents");
  WriteFile(tree.root + "/names/added file.txt", "added");
  EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;
  EXPECT_NE(storedListing("backups/source"), stored);

  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "'" + common, &output), 0) << output;
  EXPECT_EQ(JoinLines(CompareTrees(tree.root, work / "restored/source")), "");
  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "some") + "' names" + common, &output), 0) << output;
  EXPECT_EQ(ReadTextFile(work / "some/names/added file.txt"), "added");
  EXPECT_NE(access((work / "some/small").c_str(), F_OK), 0);

  EXPECT_EQ(quorvel("verify '" + url + "'" + common, &output), 0) << output;
  EXPECT_EQ(quorvel("prune '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;

  // OpenSSH's own client fetches the parts of the file of several segments,
  // and openssl decrypts them into that file.
  mkdir((work / "fetched").c_str(), 0700);
  std::string fetched;
  ASSERT_EQ(RunShell("sftp -q -b - -i '" + gServer->clientKey + "' -P " + std::to_string(gServer->port) +
                         " -o 'UserKnownHostsFile=" + (work / "home/.ssh/known_hosts") + "' " + kUser +
                         "@127.0.0.1 >/dev/null 2>&1 <<'EOF'\nget " + gServer->home +
                         "/backups/source/File_*.dat.0*.aes " + (work / "fetched") + "\nEOF\n"
                         "cd '" + (work / "fetched") + "' && for part in $(ls | sort); do "
                         "openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:secret -in $part; done | md5sum",
                     &fetched),
            0);
  EXPECT_EQ(fetched.substr(0, 32), Md5sumOfFile(tree.root + "/" + tree.severalSegmentsFile));

  // One flipped byte in a stored part is found.
  std::string part;
  RunShell("ls '" + gServer->home + "/backups/source' | grep '^File_' | head -1", &part);
  part = gServer->home + "/backups/source/" + Trimmed(part);
  ASSERT_GT(FileSize(part), 100u) << part;
  RunShell("printf '\\377' | dd of='" + part + "' bs=1 seek=50 conv=notrunc 2>/dev/null");
  EXPECT_NE(quorvel("verify '" + url + "'" + common, &output), 0) << output;

  EXPECT_EQ(quorvel("delete '" + url + "' --destination-too" + common, &output), 0) << output;
  EXPECT_NE(access((gServer->home + "/backups/source").c_str(), F_OK), 0);
}

// Logins and trust: key login without a password, a wrong password refused
// at once and not retried, a replaced host key refused with both
// fingerprints before anything else happens.
TEST_F(SftpServer, KeysWrongPasswordsAndReplacedHostKeys) {
  mkdir((work / "source").c_str(), 0755);
  WriteFile(work / "source/a.txt", "first file");
  // "/~/" names the user's home folder on the server.
  const std::string url =
      std::string("sftp://") + kUser + "@127.0.0.1:" + std::to_string(gServer->port) + "/~/keys/source";
  std::string output;
  mkdir((work / "home/.ssh").c_str(), 0700);
  WriteFile(work / "home/.ssh/id_ed25519", ReadTextFile(gServer->clientKey));
  chmod((work / "home/.ssh/id_ed25519").c_str(), 0600);
  ASSERT_EQ(quorvel("backup '" + (work / "source") + "' '" + url + "' --password-env PW --accept-new-host-key",
                    &output),
            0)
      << output;
  EXPECT_GT(FileSize(gServer->home + "/keys/source/Revision_0001.data.aes"), 0u);
  unlink((work / "home/.ssh/id_ed25519").c_str());

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("check '" + url + "' --password-env PW --server-password-env WRONG_PW", &output), 1) << output;
  EXPECT_NE(output.find("refused the user name, keys and password"), std::string::npos) << output;
  EXPECT_EQ(output.find("not it"), std::string::npos) << output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(quorvel("check '" + url + "' --password-env PW --server-password-env SERVER_PW", &output), 0) << output;
  // The same server by its IPv6 address (a host of its own in known_hosts).
  const std::string ipv6 =
      std::string("sftp://") + kUser + "@[::1]:" + std::to_string(gServer->port) + "/~/keys/source";
  EXPECT_EQ(quorvel("check '" + ipv6 + "' --password-env PW --server-password-env SERVER_PW --accept-new-host-key",
                    &output),
            0)
      << output;

  const std::string knownKey = gServer->hostKeyFingerprint;
  ASSERT_TRUE(gServer->replaceHostKey());
  EXPECT_EQ(quorvel("check '" + url + "' --password-env PW --server-password-env SERVER_PW --accept-new-host-key",
                    &output),
            1)
      << output;
  EXPECT_NE(output.find("has changed"), std::string::npos) << output;
  EXPECT_NE(output.find(knownKey), std::string::npos) << output;
  EXPECT_NE(output.find(gServer->hostKeyFingerprint), std::string::npos) << output;
}

// The server goes away in the middle of a backup and comes back: the run
// waits by the retry policy and completes, and what it stored restores.
TEST_F(SftpServer, ABackupOutlivesTheServerGoingAwayForAWhile) {
  mkdir((work / "source").c_str(), 0755);
  WriteFile(work / "source/large.bin", PseudoRandomData(160 << 20, 5));
  WriteFile(work / "source/small.txt", "small");
  const std::string url = gServer->url("outage/source");
  const std::string stored = gServer->home + "/outage/source";
  std::string output;
  int status = -1;
  std::thread backup([&] {
    status = quorvel("backup '" + (work / "source") + "' '" + url +
                         "' --segment-size 1 --password-env PW --server-password-env SERVER_PW --accept-new-host-key",
                     &output);
  });
  // Once the first parts are on the server, it goes away for two seconds.
  for (int i = 0; i < 600 && RunShell("ls '" + stored + "' 2>/dev/null | grep -q '^File_.*0003'") != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  gServer->halt();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_EQ(gServer->launch(), "");
  backup.join();
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("network error: retrying in"), std::string::npos) << output;
  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") +
                        "' --password-env PW --server-password-env SERVER_PW",
                    &output),
            0)
      << output;
  EXPECT_EQ(Md5sumOfFile(work / "restored/source/large.bin"), Md5sumOfFile(work / "source/large.bin"));
}

}  // namespace
}  // namespace quorvel
