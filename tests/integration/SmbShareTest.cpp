// SMB destinations against a real Samba server on 127.0.0.1, mounted through
// GVfs (gio) in a private session bus, the way a desktop session mounts a
// share. The test starts everything it needs (installing the Debian packages
// when they are missing and it may) and skips with the reason when it
// cannot: no root (for the Samba user), no /dev/fuse, no packages.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "FileTransferController/RemoteTransferController.h"
#include "FileTransferController/TransferTestSupport.h"
#include "foundation/SystemLog.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

const char* kUser = "quorvelsmb";
const char* kPassword = "s3cret pass";

// One Samba server, one session bus with GVfs, for the whole suite.
class SambaServer {
 public:
  // Empty when everything runs; otherwise why the tests are skipped.
  std::string start() {
    if (geteuid() != 0) return "needs root to create the Samba user";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available for GVfs's FUSE bridge";
    if (!HaveProgram("smbd") || !HaveProgram("gio") || access("/usr/libexec/gvfsd-smb", X_OK) != 0 ||
        access("/usr/libexec/gvfsd-fuse", X_OK) != 0 || !HaveProgram("dbus-daemon")) {
      std::printf("installing samba and gvfs...\n");
      RunShell("DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends samba smbclient "
               "gvfs-backends gvfs-fuse libglib2.0-bin dbus >/dev/null 2>&1");
      if (!HaveProgram("smbd") || !HaveProgram("gio") || access("/usr/libexec/gvfsd-smb", X_OK) != 0) {
        return "samba and gvfs could not be installed";
      }
    }
    root_ = std::make_unique<TempDir>();
    share = *root_ / "share";
    std::string state = *root_ / "state";
    runtime_ = *root_ / "runtime";
    mkdir(share.c_str(), 0777);
    chmod(share.c_str(), 0777);
    mkdir(state.c_str(), 0700);
    mkdir(runtime_.c_str(), 0700);
    port = FreeLoopbackPort();
    WriteFile(*root_ / "smb.conf",
              "[global]\n"
              "  server role = standalone server\n"
              "  interfaces = lo\n"
              "  bind interfaces only = yes\n"
              "  smb ports = " + std::to_string(port) + "\n"
              "  lock directory = " + state + "\n"
              "  state directory = " + state + "\n"
              "  cache directory = " + state + "\n"
              "  private dir = " + state + "\n"
              "  pid directory = " + state + "\n"
              "  log file = " + state + "/log.%m\n"
              "  disable spoolss = yes\n"
              "  load printers = no\n"
              "[share]\n"
              "  path = " + share + "\n"
              "  read only = no\n"
              "  force user = root\n");
    if (RunShell(std::string("id ") + kUser + " >/dev/null 2>&1") != 0) {
      if (RunShell(std::string("useradd -M ") + kUser + " >/dev/null 2>&1") != 0) return "useradd failed";
      createdUser_ = true;
    }
    if (RunShell("printf '%s\\n%s\\n' '" + std::string(kPassword) + "' '" + kPassword + "' | smbpasswd -c '" +
                 (*root_ / "smb.conf") + "' -s -a " + kUser + " >/dev/null") != 0) {
      return "smbpasswd failed";
    }
    if (RunShell("smbd -s '" + (*root_ / "smb.conf") + "' -D") != 0) return "smbd did not start";
    for (int i = 0; i < 100 && !LoopbackPortAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    smbdPid_ = std::atoi(ReadTextFile(state + "/smbd.pid").c_str());
    if (!LoopbackPortAccepts(port)) return "smbd does not accept connections on port " + std::to_string(port);

    // A private session bus; GVfs is activated through it and puts its FUSE
    // bridge into our runtime folder.
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    std::string busFile = *root_ / "bus";
    if (RunShell("dbus-daemon --session --fork --print-address=1 --print-pid=1 > '" + busFile + "' 2>/dev/null") != 0) {
      return "dbus-daemon did not start";
    }
    std::istringstream bus(ReadTextFile(busFile));
    std::string address;
    bus >> address >> busPid_;
    if (address.empty() || busPid_ <= 0) return "no session bus address";
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (!GioVolumeMounter::isAvailable()) return "gio cannot be used";
    return "";
  }

  void stop() {
    // Unmount whatever GVfs still holds, then end the bus (GVfs leaves with it).
    if (busPid_ > 0) {
      RunShell("gio mount -u 'smb://127.0.0.1:" + std::to_string(port) + "/share' >/dev/null 2>&1");
      kill(busPid_, SIGTERM);
      // GVfs and its FUSE bridge leave with the bus; make sure the bridge is gone.
      std::string bridgeMounted = "grep -q ' " + runtime_ + "/gvfs ' /proc/self/mountinfo";
      for (int i = 0; i < 50 && RunShell(bridgeMounted) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (RunShell(bridgeMounted) == 0) RunShell("umount -l '" + runtime_ + "/gvfs'");
    }
    if (smbdPid_ > 0) kill(smbdPid_, SIGTERM);
    if (createdUser_) RunShell(std::string("userdel ") + kUser + " >/dev/null 2>&1");
    root_.reset();
  }

  std::string shareURL(const std::string& path, const std::string& password = kPassword) const {
    return Url::URLWithScheme("smb", kUser, password, "127.0.0.1", static_cast<std::uint16_t>(port), "/share" + path)
        ->absoluteString();
  }

  // Only this server's share in this session's GVfs bridge counts: other
  // sessions on the machine may have their own mounts.
  bool shareIsMounted() {
    GioVolumeMounter mounter;
    for (const std::string& path : mounter.mountedVolumePaths()) {
      if (path.rfind(runtime_ + "/gvfs/", 0) == 0 && path.find("share=share") != std::string::npos &&
          path.find("server=127.0.0.1") != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  std::string share;
  int port = 0;

 private:
  std::unique_ptr<TempDir> root_;
  std::string runtime_;
  int smbdPid_ = 0;
  int busPid_ = 0;
  bool createdUser_ = false;
};

SambaServer* gServer = nullptr;
std::string gSkipReason;

class SmbShare : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gServer = new SambaServer();
    gSkipReason = gServer->start();
    if (!gSkipReason.empty()) std::printf("SMB tests skipped: %s\n", gSkipReason.c_str());
  }
  static void TearDownTestSuite() {
    gServer->stop();
    delete gServer;
    gServer = nullptr;
  }
  void SetUp() override {
    if (!gSkipReason.empty()) GTEST_SKIP() << gSkipReason;
    RunShell("mkdir -p '" + gServer->share + "/backups' && chmod 777 '" + gServer->share + "/backups'");
  }
  void TearDown() override {
    if (gServer && gSkipReason.empty()) {
      EXPECT_FALSE(gServer->shareIsMounted()) << "a test left the share mounted";
      RunShell("rm -rf '" + gServer->share + "/backups'");
    }
  }

  std::shared_ptr<SMBTransferController> Controller(const std::string& password = kPassword) {
    auto controller = SMBTransferController::initWithBaseURL(*Url::URLWithString(gServer->shareURL("/backups", password)));
    if (controller) controller->setDelegate(&delegate);
    return controller;
  }

  RecordingDelegate delegate;
};

TEST_F(SmbShare, UploadsEncryptedFilesListsAndDownloadsThem) {
  auto controller = Controller();
  ASSERT_TRUE(controller);
  controller->setEncryptionPassword(std::string("pw"));
  controller->setDigestComputation(true);
  TempDir local;
  Data plain = PseudoRandomData(1000003, 17);
  WriteFile(local / "plain", plain);
  ASSERT_TRUE(controller->uploadFileFromPath(local / "plain", "part-1")) << delegate.lastErrorText();
  EXPECT_EQ(Hex(controller->lastTransferDigestData()), Md5sumOfFile(local / "plain"));
  ASSERT_TRUE(controller->basePath());
  EXPECT_TRUE(gServer->shareIsMounted());

  // What the server stores is what openssl reads back.
  std::string stored = gServer->share + "/backups/part-1";
  EXPECT_EQ(FileSize(stored), (1000003u & ~15u) + 16u);
  ASSERT_EQ(RunShell("openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:pw -in '" + stored + "' -out '" +
                     (local / "openssl") + "'"),
            0);
  EXPECT_EQ(Md5sumOfFile(local / "openssl"), Md5sumOfFile(local / "plain"));

  ASSERT_TRUE(controller->createDirectoryAtPath("folder"));
  std::optional<Dictionary> listing = controller->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing) << delegate.lastErrorText();
  // A listing comes in the server's order (tmpfs and ext4 differ): compare as sets.
  std::vector<std::string> names = listing->keys();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"folder", "part-1"}));
  EXPECT_EQ((*listing)["part-1"].asDictionary()[kFileSize].asInt(), static_cast<std::int64_t>((1000003 & ~15) + 16));
  EXPECT_EQ((*listing)["part-1"].asDictionary()[kFileType].asString(), kFileTypeRegular);
  EXPECT_EQ((*listing)["folder"].asDictionary()[kFileType].asString(), kFileTypeDirectory);

  ASSERT_TRUE(controller->downloadFileFromPath("part-1", local / "back")) << delegate.lastErrorText();
  EXPECT_EQ(Md5sumOfFile(local / "back"), Md5sumOfFile(local / "plain"));
  EXPECT_EQ(Hex(controller->lastTransferDigestData()), Md5sumOfFile(local / "plain"));

  ASSERT_TRUE(controller->movePath("part-1", "folder/moved"));
  ASSERT_TRUE(controller->copyPath("folder/moved", "copied")) << delegate.lastErrorText();
  ASSERT_TRUE(controller->deleteDirectoryRecursivelyAtPath("folder"));
  ASSERT_TRUE(controller->deleteFileAtPath("never-there"));
  listing = controller->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->keys(), std::vector<std::string>{"copied"});
  EXPECT_EQ(FileSize(gServer->share + "/backups/copied"), (1000003u & ~15u) + 16u);

  controller.reset();
  EXPECT_FALSE(gServer->shareIsMounted());
}

TEST_F(SmbShare, TheLastControllerUnmountsTheShare) {
  auto first = Controller();
  auto second = Controller();
  ASSERT_TRUE(first->uploadFileFromData(DataFromString("one"), "one")) << delegate.lastErrorText();
  ASSERT_TRUE(second->uploadFileFromData(DataFromString("two"), "two")) << delegate.lastErrorText();
  EXPECT_EQ(*first->basePath(), *second->basePath());
  first.reset();
  EXPECT_TRUE(gServer->shareIsMounted());
  EXPECT_EQ(ReadFile(gServer->share + "/backups/two"), DataFromString("two"));
  second.reset();
  EXPECT_FALSE(gServer->shareIsMounted());
}

TEST_F(SmbShare, AShareMountedBeforeIsLeftMounted) {
  std::string url = "smb://127.0.0.1:" + std::to_string(gServer->port) + "/share";
  ASSERT_EQ(RunShell("printf '%s\\nWORKGROUP\\n%s\\n' " + std::string(kUser) + " '" + kPassword + "' | gio mount " +
                     url + " >/dev/null 2>&1"),
            0);
  ASSERT_TRUE(gServer->shareIsMounted());
  {
    auto controller = Controller();
    ASSERT_TRUE(controller->uploadFileFromData(DataFromString("x"), "x")) << delegate.lastErrorText();
    EXPECT_FALSE(controller->mayUnmount());
  }
  EXPECT_TRUE(gServer->shareIsMounted());
  EXPECT_EQ(RunShell("gio mount -u " + url + " >/dev/null 2>&1"), 0);
}

TEST_F(SmbShare, AWrongPasswordMakesTheShareUnreachable) {
  auto controller = Controller("not the password");
  SystemLogCapture log;
  EXPECT_FALSE(controller->uploadFileFromData(DataFromString("x"), "x"));
  EXPECT_EQ(delegate.lastErrorText(), "Could not mount \"smb://127.0.0.1:" + std::to_string(gServer->port) +
                                          "/share\": the server refused the user name or password");
  // Waiting does not mend a refused password: no retries.
  EXPECT_TRUE(controller->lastFailureIsPermanent());
  EXPECT_TRUE(log.contains("automount: Mounting \"smb://127.0.0.1:")) << (log.lines().empty() ? "" : log.lines()[0]);
  EXPECT_NE(access((gServer->share + "/backups/x").c_str(), F_OK), 0);
}

// The command line as a user runs it: backup into folders the share does
// not have yet, verify and restore, with the server password from the
// options (kept in the credential store), from the store, and in the URL.
// Every command unmounts what it mounted before it ends, however quickly
// the next one follows.
TEST_F(SmbShare, TheCommandLineBacksUpVerifiesAndRestoresThroughTheShare) {
  TempDir work;
  const std::string source = work / "Documents";
  RunShell("mkdir -p '" + source + "/sub'");
  WriteFile(source + "/a.txt", "first file");
  WriteFile(source + "/sub/b.bin", PseudoRandomData(300000, 3));
  WriteFile(work / "password", std::string(kPassword) + "\n");
  const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
  const std::string environment = "QUORVEL_KEYCHAIN=file QUORVEL_HOME='" + (work / "home") + "' SERVER_PW='" +
                                  kPassword + "' ";
  const std::string url = "smb://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(gServer->port) +
                          "/share/new/documents";
  // GVfs's own list, not the FUSE bridge's folder (which may lag behind).
  const std::string mountedShare = "gio mount -l 2>/dev/null | grep -q 'smb://127.0.0.1:" +
                                   std::to_string(gServer->port) + "/share'";
  auto quorvel = [&](const std::string& arguments, std::string* errors) {
    int status = RunShell(environment + "'" + binary + "' " + arguments + " </dev/null >/dev/null 2>'" +
                          (work / "stderr") + "'");
    *errors = ReadTextFile(work / "stderr");
    EXPECT_NE(RunShell(mountedShare), 0) << "left mounted by: quorvel " << arguments;
    return status;
  };
  std::string errors;
  ASSERT_EQ(quorvel("backup '" + source + "' '" + url + "' --server-password-env SERVER_PW --remember-server-password",
                    &errors),
            0)
      << errors;
  EXPECT_TRUE(FileSize(gServer->share + "/new/documents/Revision_0001.data") > 0);
  EXPECT_EQ(quorvel("verify '" + url + "'", &errors), 0) << errors;
  EXPECT_EQ(quorvel("check '" + url + "' --server-password-file '" + (work / "password") + "'", &errors), 0) << errors;

  const std::string withPassword = Url::URLWithScheme("smb", kUser, kPassword, "127.0.0.1",
                                                      static_cast<std::uint16_t>(gServer->port), "/share/new/documents")
                                       ->absoluteString();
  EXPECT_EQ(quorvel("restore '" + withPassword + "' --to '" + (work / "restored") + "'", &errors), 0) << errors;
  EXPECT_NE(errors.find("shows in the process list"), std::string::npos) << errors;
  EXPECT_EQ(ReadTextFile(work / "restored/Documents/a.txt"), "first file");
  EXPECT_EQ(Md5sumOfFile(work / "restored/Documents/sub/b.bin"), Md5sumOfFile(source + "/sub/b.bin"));
  EXPECT_EQ(quorvel("backup '" + source + "' '" + url + "'", &errors), 0) << errors;

  // A refused password fails at once, with its cause, and no retries.
  WriteFile(work / "wrong", "not it\n");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("check '" + url + "' --server-password-file '" + (work / "wrong") + "'", &errors), 1);
  EXPECT_NE(errors.find("the server refused the user name or password"), std::string::npos) << errors;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  RunShell("rm -rf '" + gServer->share + "/new'");
}

}  // namespace
}  // namespace quorvel
