// FTP and FTPS destinations against real vsftpd servers on 127.0.0.1: one
// serving plain FTP and explicit TLS (AUTH TLS) on one port, one serving
// implicit TLS on another, both with a self-signed certificate, a local user
// and vsftpd's default demand that data connections resume the control
// connection's TLS session. The test starts them itself (installing vsftpd when it is missing
// and it may) and skips with the reason when it cannot: no root (for the
// user), no vsftpd.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "FileTransferController/FTPTransferController.h"
#include "FileTransferController/TransferTestSupport.h"
#include "support/GeneratedTree.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

const char* kUser = "quorvelftp";
const char* kPassword = "ftp pass:@word";

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Two vsftpd processes sharing one user, root folder and certificate.
class VsftpdServers {
 public:
  // Empty when the servers run; otherwise why the tests are skipped.
  std::string start() {
    if (geteuid() != 0) return "needs root to create the FTP user";
    if (access("/usr/sbin/vsftpd", X_OK) != 0 || !HaveProgram("curl") || !HaveProgram("openssl")) {
      std::printf("installing vsftpd...\n");
      RunShell("DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends vsftpd curl openssl "
               ">/dev/null 2>&1");
      if (access("/usr/sbin/vsftpd", X_OK) != 0 || !HaveProgram("curl")) return "vsftpd could not be installed";
    }
    folder_ = std::make_unique<TempDir>();
    chmod(folder_->path().c_str(), 0755);
    root = *folder_ / "root";
    std::string empty = *folder_ / "empty";
    mkdir(root.c_str(), 0755);
    mkdir(empty.c_str(), 0755);
    if (RunShell(std::string("id ") + kUser + " >/dev/null 2>&1") != 0) {
      if (RunShell(std::string("useradd -M -s /bin/sh -d '") + root + "' " + kUser + " >/dev/null 2>&1") != 0) {
        return "useradd failed";
      }
      createdUser_ = true;
    }
    if (RunShell("printf '%s:%s\\n' " + std::string(kUser) + " '" + kPassword + "' | chpasswd") != 0) {
      return "chpasswd failed";
    }
    RunShell(std::string("chown ") + kUser + ": '" + root + "'");
    certificate = *folder_ / "cert.pem";
    std::string key = *folder_ / "key.pem";
    if (RunShell("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=127.0.0.1 -addext "
                 "subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" + key + "' -out '" + certificate +
                 "' >/dev/null 2>&1") != 0) {
      return "openssl could not make a certificate";
    }
    port = FreeLoopbackPort();
    do implicitPort = FreeLoopbackPort(); while (implicitPort == port);
    for (auto [name, listenPort, implicit] :
         {std::tuple<std::string, int, bool>{"explicit", port, false}, {"implicit", implicitPort, true}}) {
      std::string conf = *folder_ / (name + ".conf");
      std::string log = *folder_ / (name + ".log");
      WriteFile(conf, "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
                          std::to_string(listenPort) +
                          "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
                          "local_umask=022\nchroot_local_user=YES\nallow_writeable_chroot=YES\nlocal_root=" + root +
                          "\nsecure_chroot_dir=" + empty +
                          "\npam_service_name=vsftpd\nuserlist_enable=NO\nseccomp_sandbox=NO\n"
                          "pasv_enable=YES\npasv_address=127.0.0.1\nutf8_filesystem=YES\nuse_localtime=NO\n"
                          "xferlog_enable=YES\nxferlog_std_format=NO\nvsftpd_log_file=" + log +
                          "\nssl_enable=YES\nimplicit_ssl=" + (implicit ? "YES" : "NO") +
                          "\nallow_anon_ssl=NO\nforce_local_logins_ssl=NO\nforce_local_data_ssl=NO\n"
                          "ssl_tlsv1=NO\nssl_sslv2=NO\nssl_sslv3=NO\nssl_ciphers=HIGH\nrequire_ssl_reuse=YES\n"
                          "rsa_cert_file=" + certificate + "\nrsa_private_key_file=" + key + "\n");
      instances_.push_back({name, conf, log, listenPort, 0});
      if (std::string problem = launch(instances_.back()); !problem.empty()) return problem;
    }
    return "";
  }

  void stop() {
    for (Instance& instance : instances_) {
      if (instance.pid > 0) kill(-instance.pid, SIGTERM);
    }
    if (createdUser_) RunShell(std::string("userdel ") + kUser + " >/dev/null 2>&1");
    folder_.reset();
  }

  // The explicit-TLS server goes away with every session it serves, and
  // comes back on the same port.
  void haltExplicitServer() {
    Instance& instance = instances_.front();
    if (instance.pid > 0) kill(-instance.pid, SIGKILL);
    for (int i = 0; i < 100 && LoopbackPortAccepts(instance.port); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::string relaunchExplicitServer() { return launch(instances_.front()); }

  // The log of the explicit-TLS server (its transfers, one line each).
  std::string transferLog() const { return ReadTextFile(*folder_ / "explicit.log"); }

  // A URL of the explicit server ("ftp" or "ftps") or the implicit one.
  std::string url(const std::string& scheme, const std::string& path, const std::string& password = kPassword,
                  const std::string& query = {}, bool implicitServer = false) const {
    return Url::URLWithScheme(scheme, kUser, password, "127.0.0.1",
                              static_cast<std::uint16_t>(implicitServer ? implicitPort : port), path, query)
        ->absoluteString();
  }

  std::string root;
  std::string certificate;
  int port = 0;
  int implicitPort = 0;

 private:
  std::unique_ptr<TempDir> folder_;
  struct Instance {
    std::string name, conf, log;
    int port;
    int pid;
  };
  // Starts one vsftpd in a process group of its own; empty when it accepts
  // connections, else why not.
  std::string launch(Instance& instance) {
    // vsftpd writes its start-up complaints to descriptor 0.
    std::string pid;
    RunShell("setsid /usr/sbin/vsftpd '" + instance.conf + "' 0<>'" + instance.log + ".err' >>'" + instance.log +
                 ".err' 2>&1 & echo $!",
             &pid);
    instance.pid = std::atoi(pid.c_str());
    for (int i = 0; i < 100 && !LoopbackPortAccepts(instance.port); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!LoopbackPortAccepts(instance.port)) {
      return "vsftpd (" + instance.name + ") does not start: " + ReadTextFile(instance.log + ".err");
    }
    return "";
  }
  std::vector<Instance> instances_;
  bool createdUser_ = false;
};

VsftpdServers* gServers = nullptr;
std::string gSkipReason;

class FtpServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gServers = new VsftpdServers();
    gSkipReason = gServers->start();
    if (!gSkipReason.empty()) std::printf("FTP tests skipped: %s\n", gSkipReason.c_str());
  }
  static void TearDownTestSuite() {
    gServers->stop();
    delete gServers;
    gServers = nullptr;
  }
  void SetUp() override {
    if (!gSkipReason.empty()) GTEST_SKIP() << gSkipReason;
  }
  void TearDown() override {
    if (gSkipReason.empty()) RunShell("rm -rf '" + gServers->root + "'/*");
  }

  std::shared_ptr<FileTransferController> Controller(const std::string& url) {
    std::shared_ptr<FileTransferController> controller =
        FileTransferController::fileTransferControllerWithURL(*Url::URLWithString(url));
    if (controller) {
      controller->setDelegate(&delegate);
      controller->setTimeOut(20);
    }
    return controller;
  }

  std::string CaQuery() const { return "ca-file=" + gServers->certificate; }

  RecordingDelegate delegate;
};

// The same operations over the three kinds of connection.
struct Connection {
  const char* name;
  const char* scheme;
  bool implicitServer;
  bool withCA;
};

TEST_F(FtpServer, StoresListsMovesAndDeletesOverEveryKindOfConnection) {
  const Connection connections[] = {
      {"plain", "ftp", false, false},
      {"explicit TLS", "ftps", false, true},
      {"implicit TLS", "ftps", true, true},
  };
  for (const Connection& connection : connections) {
    SCOPED_TRACE(connection.name);
    std::string query = connection.withCA ? CaQuery() : "";
    if (connection.implicitServer) query += "&implicit-tls=1";
    std::string folder = std::string("/") + connection.name + "/backups";
    auto controller = Controller(gServers->url(connection.scheme, folder, kPassword, query, connection.implicitServer));
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->className(), std::string(connection.scheme) == "ftp" ? "FTPTransferController"
                                                                               : "FTPSTransferController");
    // The folder is missing: the failure says so, and making it makes its parents too.
    EXPECT_FALSE(controller->contentsOfDirectoryAtPath(""));
    ASSERT_TRUE(controller->lastFailure());
    EXPECT_EQ(controller->lastFailure()->domain(), "curl");
    EXPECT_TRUE(controller->isMissingItemError(*controller->lastFailure())) << delegate.lastErrorText();
    EXPECT_NE(controller->lastFailure()->userInfo().get(kLastServerMessageKey).asString().find("550"),
              std::string::npos);
    ASSERT_TRUE(controller->createDirectoryAtPath("")) << delegate.lastErrorText();
    ASSERT_TRUE(controller->createDirectoryAtPath("sub folder/ünï")) << delegate.lastErrorText();

    controller->setEncryptionPassword(std::string("pw"));
    controller->setDigestComputation(true);
    TempDir local;
    Data plain = PseudoRandomData(300007, 5);
    WriteFile(local / "plain", plain);
    delegate.progressUpdates = 0;
    ASSERT_TRUE(controller->uploadFileFromPath(local / "plain", "sub folder/ünï/part 1")) << delegate.lastErrorText();
    EXPECT_EQ(Hex(controller->lastTransferDigestData()), Md5sumOfFile(local / "plain"));
    EXPECT_GT(delegate.progressUpdates, 0);
    EXPECT_EQ(delegate.lastProgress, delegate.lastProgressMax);
    EXPECT_EQ(delegate.lastProgressMax, (300007u & ~15u) + 16u);
    ASSERT_TRUE(controller->uploadFileFromData(Data(), "empty")) << delegate.lastErrorText();

    // What the server stores is what openssl decrypts.
    std::string stored = gServers->root + folder + "/sub folder/ünï/part 1";
    EXPECT_EQ(FileSize(stored), (300007u & ~15u) + 16u);
    EXPECT_EQ(FileSize(gServers->root + folder + "/empty"), 16u);
    ASSERT_EQ(RunShell("openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:pw -in '" + stored + "' -out '" +
                       (local / "openssl") + "'"),
              0);
    EXPECT_EQ(Md5sumOfFile(local / "openssl"), Md5sumOfFile(local / "plain"));

    std::optional<Dictionary> listing = controller->contentsOfDirectoryAtPath("sub folder/ünï");
    ASSERT_TRUE(listing) << delegate.lastErrorText();
    EXPECT_EQ(listing->keys(), std::vector<std::string>{"part 1"});
    const Dictionary& part = listing->get("part 1").asDictionary();
    EXPECT_EQ(part.get(kFileType).asString(), kFileTypeRegular);
    EXPECT_EQ(part.get(kFileSize).asUInt(), (300007u & ~15u) + 16u);
    EXPECT_LT(std::abs(part.get(kFileModificationDate).asDate().timeIntervalSinceNow()), 180.0);
    listing = controller->contentsOfDirectoryAtPath("");
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->get("sub folder").asDictionary().get(kFileType).asString(), kFileTypeDirectory);

    delegate.progressUpdates = 0;
    ASSERT_TRUE(controller->downloadFileFromPath("sub folder/ünï/part 1", local / "back")) << delegate.lastErrorText();
    EXPECT_GT(delegate.progressUpdates, 0);
    EXPECT_EQ(delegate.lastProgressMax, (300007u & ~15u) + 16u);
    EXPECT_EQ(Md5sumOfFile(local / "back"), Md5sumOfFile(local / "plain"));
    EXPECT_EQ(Hex(controller->lastTransferDigestData()), Md5sumOfFile(local / "plain"));
    std::optional<Data> empty = controller->downloadFileFromPathToData("empty", 100);
    ASSERT_TRUE(empty) << delegate.lastErrorText();
    EXPECT_TRUE(empty->empty());
    // A stored file larger than the buffer is not read into it.
    std::vector<std::uint8_t> small(1000);
    EXPECT_EQ(controller->downloadFileFromPathToBuffer("sub folder/ünï/part 1", small.data(), small.size()), -1);

    // Commands name paths relative to the base folder (vsftpd logs each
    // byte outside ASCII as "?").
    std::size_t logged = gServers->transferLog().size();
    ASSERT_TRUE(controller->movePath("/sub folder/ünï/part 1", "moved")) << delegate.lastErrorText();
    if (!connection.implicitServer) {
      std::string log = gServers->transferLog().substr(logged);
      EXPECT_NE(log.find("OK RENAME: Client \"127.0.0.1\", \"" + folder + "/sub folder/?" "?n?" "?/part 1 " + folder +
                         "/moved\"\n"),
                std::string::npos)
          << log;
    }
    EXPECT_FALSE(controller->deleteDirectoryAtPath("sub folder")) << "a folder that is not empty stays";
    ASSERT_TRUE(controller->deleteDirectoryAtPath("sub folder/ünï")) << delegate.lastErrorText();
    ASSERT_TRUE(controller->deleteDirectoryAtPath("sub folder")) << delegate.lastErrorText();
    ASSERT_TRUE(controller->deleteFileAtPath("empty")) << delegate.lastErrorText();
    EXPECT_FALSE(controller->deleteFileAtPath("never there"));
    listing = controller->contentsOfDirectoryAtPath("/");
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->keys(), std::vector<std::string>{"moved"});
    ASSERT_TRUE(controller->deleteFileAtPath("moved"));
    // The base folder itself goes from the folder above it.
    ASSERT_TRUE(controller->deleteDirectoryAtPath("")) << delegate.lastErrorText();
    EXPECT_NE(access((gServers->root + folder).c_str(), F_OK), 0);
  }
}

TEST_F(FtpServer, AnotherClientReadsWhatTheControllerStored) {
  auto controller = Controller(gServers->url("ftps", "/independent", kPassword, CaQuery()));
  controller->setEncryptionPassword(std::string("secret"));
  ASSERT_TRUE(controller->createDirectoryAtPath(""));
  Data plain = PseudoRandomData(70001, 9);
  ASSERT_TRUE(controller->uploadFileFromData(plain, "file.aes")) << delegate.lastErrorText();
  TempDir local;
  WriteFile(local / "plain", plain);
  std::string url = "ftp://127.0.0.1:" + std::to_string(gServers->port) + "/independent/file.aes";
  ASSERT_EQ(RunShell("curl -s --ssl-reqd --cacert '" + gServers->certificate + "' --user '" + kUser + ":" +
                     kPassword + "' '" + url + "' | openssl enc -d -aes-256-cbc -md md5 -nosalt -pass pass:secret > '" +
                     (local / "read") + "'"),
            0);
  EXPECT_EQ(Md5sumOfFile(local / "read"), Md5sumOfFile(local / "plain"));
}

TEST_F(FtpServer, RefusedLoginsAndCertificatesFailAtOnceAndForGood) {
  struct Case {
    const char* name;
    std::string url;
    long code;
  };
  const Case cases[] = {
      {"wrong password", gServers->url("ftp", "/x", "not it"), 67},
      {"self-signed certificate, system store", gServers->url("ftps", "/x"), 60},
      {"self-signed certificate, implicit TLS", gServers->url("ftps", "/x", kPassword, "implicit-tls=1", true), 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto controller = Controller(c.url);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(controller->contentsOfDirectoryAtPath(""));
    EXPECT_LT(SecondsSince(started), 10.0);
    ASSERT_TRUE(controller->lastFailure());
    EXPECT_EQ(controller->lastFailure()->code(), c.code) << delegate.lastErrorText();
    EXPECT_TRUE(controller->lastFailureIsPermanent());
    EXPECT_EQ(delegate.lastErrorText().find(kPassword), std::string::npos);
  }
  // Told to trust no one in particular, the same server is fine.
  auto insecure = Controller(gServers->url("ftps", "/", kPassword, "insecure-tls=1"));
  EXPECT_TRUE(insecure->contentsOfDirectoryAtPath("")) << delegate.lastErrorText();
}

// A server that accepts connections and never says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~SilentServer() { close(fd_); }
  int port = 0;

 private:
  int fd_ = -1;
};

TEST_F(FtpServer, AStalledServerTimesOutAndAnAbortStopsWithinASecond) {
  SilentServer silent;
  std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(silent.port) + "/";
  auto controller = Controller(url);
  controller->setTimeOut(2);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(controller->contentsOfDirectoryAtPath(""));
  EXPECT_EQ(controller->lastFailure()->code(), 28) << delegate.lastErrorText();  // timed out
  EXPECT_LT(SecondsSince(started), 6.0);
  EXPECT_FALSE(controller->lastFailureIsPermanent());

  controller->setTimeOut(0);
  started = std::chrono::steady_clock::now();
  delegate.shouldAbort = [&](FileTransferController&) { return SecondsSince(started) > 0.5; };
  EXPECT_FALSE(controller->uploadFileFromData(DataFromString("x"), "x"));
  EXPECT_EQ(controller->lastFailure()->code(), 42) << delegate.lastErrorText();  // aborted by callback
  EXPECT_LT(SecondsSince(started), 2.0);
}

// The command line as a user runs it, with the server password from the
// environment.
TEST_F(FtpServer, TheCommandLineBacksUpVerifiesAndRestoresThroughTheServer) {
  TempDir work;
  GeneratedTreeOptions options;
  options.segmentSize = 1 << 20;
  options.severalSegments = 1;
  options.smallFileCount = 12;
  GeneratedTree tree = GenerateTree(work / "Documents", options);
  WriteFile(work / "password", "backup password\n");
  const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
  const std::string environment =
      "QUORVEL_KEYCHAIN=file QUORVEL_HOME='" + (work / "home") + "' SERVER_PW='" + kPassword + "' ";
  auto quorvel = [&](const std::string& arguments, std::string* errors) {
    auto started = std::chrono::steady_clock::now();
    int status = RunShell(environment + "'" + binary + "' " + arguments + " </dev/null >'" + (work / "stdout") +
                          "' 2>'" + (work / "stderr") + "'");
    *errors = ReadTextFile(work / "stderr");
    std::printf("quorvel %s: exit %d after %.1f s\n", arguments.substr(0, arguments.find(' ')).c_str(), status,
                SecondsSince(started));
    return status;
  };
  const std::string url = "ftp://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(gServers->port) +
                          "/new/documents";
  const std::string common = " --server-password-env SERVER_PW --password-file '" + (work / "password") + "'";
  std::string errors;

  // The first run makes the destination folder and its parent.
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common, &errors), 0) << errors;
  std::string listed;
  RunShell("ls '" + gServers->root + "/new/documents'", &listed);
  EXPECT_NE(listed.find("Revision_0001"), std::string::npos) << listed;

  // An unchanged source stores nothing.
  std::string logBefore = gServers->transferLog();
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1 --json" + common, &errors), 0)
      << errors;
  std::string uploads = gServers->transferLog().substr(logBefore.size());
  EXPECT_EQ(uploads.find("OK UPLOAD"), std::string::npos) << uploads;
  EXPECT_NE(ReadTextFile(work / "stdout").find("\"copiedFiles\": 0,"), std::string::npos)
      << ReadTextFile(work / "stdout");

  EXPECT_EQ(quorvel("test '" + tree.root + "' '" + url + "'" + common, &errors), 0) << errors;
  EXPECT_NE(ReadTextFile(work / "stdout").find("a backup would change nothing"), std::string::npos)
      << ReadTextFile(work / "stdout");
  EXPECT_EQ(quorvel("verify '" + url + "'" + common, &errors), 0) << errors;
  // A changed and an added file: only they are stored.
  WriteFile(tree.root + "/names/with space.txt", "changed contents");
  WriteFile(tree.root + "/names/added.txt", "added");
  logBefore = gServers->transferLog();
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common, &errors), 0) << errors;
  uploads = gServers->transferLog().substr(logBefore.size());
  EXPECT_NE(uploads.find("OK UPLOAD"), std::string::npos) << uploads;
  ASSERT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "'" + common, &errors), 0) << errors;
  EXPECT_EQ(TreeDifferences(tree.root, work / "restored/Documents"), std::vector<std::string>{});
  ASSERT_EQ(quorvel("restore '" + url + "' --to '" + (work / "chosen") + "' names" + common, &errors), 0) << errors;
  EXPECT_EQ(ReadTextFile(work / "chosen/names/added.txt"), "added");
  EXPECT_NE(access((work / "chosen/segment").c_str(), F_OK), 0);

  // A byte flipped on the server is found by verify.
  std::string biggest;
  RunShell("find '" + gServers->root + "/new/documents' -type f ! -name 'Revision_*' -printf '%s %p\\n' | sort -n | "
           "tail -1 | cut -d' ' -f2-",
           &biggest);
  ASSERT_FALSE(biggest.empty());
  biggest.pop_back();
  ASSERT_EQ(RunShell("printf '\\377' | dd of='" + biggest + "' bs=1 seek=1000 conv=notrunc status=none"), 0);
  EXPECT_NE(quorvel("verify '" + url + "'" + common, &errors), 0) << errors;

  // A refused password fails at once, names the destination without the
  // password, and is not retried.
  WriteFile(work / "wrong", "not it\n");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("check '" + url + "' --server-password-file '" + (work / "wrong") + "'", &errors), 1);
  // (vsftpd delays each refusal by a few seconds; a retry would wait 10 s first)
  EXPECT_LT(SecondsSince(started), 15.0);
  EXPECT_NE(errors.find("530"), std::string::npos) << errors;
  EXPECT_NE(errors.find("127.0.0.1:" + std::to_string(gServers->port) + "/new/documents"), std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("not it"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("retry"), std::string::npos) << errors;

  // Over TLS: the self-signed certificate is refused at once unless the
  // CA file is given.
  const std::string tls = "ftps://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(gServers->port) + "/tls";
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + tls + "' --segment-size 1" + common, &errors), 1);
  EXPECT_LT(SecondsSince(started), 8.0);
  EXPECT_NE(errors.find("certificate"), std::string::npos) << errors;
  EXPECT_EQ(errors.find(kPassword), std::string::npos) << errors;
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + tls + "' --segment-size 1 --ca-file '" + gServers->certificate +
                        "'" + common,
                    &errors),
            0)
      << errors;
  ASSERT_EQ(quorvel("restore '" + tls + "' --ca-file '" + gServers->certificate + "' --to '" + (work / "tls") + "'" +
                        common,
                    &errors),
            0)
      << errors;
  EXPECT_EQ(TreeDifferences(tree.root, work / "tls/Documents"), std::vector<std::string>{});
  // Implicit TLS on the second server; a plain destination takes no CA file.
  const std::string implicit = "ftps://" + std::string(kUser) + "@127.0.0.1:" +
                               std::to_string(gServers->implicitPort) + "/implicit?implicit-tls=1";
  EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + implicit + "' --segment-size 1 --ca-file '" +
                        gServers->certificate + "'" + common,
                    &errors),
            0)
      << errors;
  EXPECT_EQ(quorvel("check '" + url + "' --ca-file '" + gServers->certificate + "'" + common, &errors), 1);
  EXPECT_NE(errors.find("--ca-file"), std::string::npos) << errors;

  // prune and delete, as for a local folder.
  EXPECT_EQ(quorvel("prune '" + tree.root + "' '" + tls + "' --ca-file '" + gServers->certificate + "'" + common,
                    &errors),
            0)
      << errors;
  EXPECT_EQ(quorvel("delete '" + tls + "' --destination-too --ca-file '" + gServers->certificate + "'" + common,
                    &errors),
            0)
      << errors;
  EXPECT_NE(access((gServers->root + "/tls").c_str(), F_OK), 0);
}

// Every command over TLS, explicit (AUTH TLS on the server's port) and
// implicit (TLS from the first byte): backup, an unchanged run, a run after
// changes, full and selected restores, verify (also of a damaged file),
// prune and delete.
TEST_F(FtpServer, EveryCommandOverExplicitAndImplicitTLS) {
  struct Case {
    const char* name;
    int port;
    const char* query;
  } cases[] = {
      {"explicit", gServers->port, ""},
      {"implicit", gServers->implicitPort, "?implicit-tls=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir work;
    GeneratedTreeOptions options;
    options.severalSegments = 2;
    options.smallFileCount = 10;
    GeneratedTree tree = GenerateTree(work / "Documents", options);
    WriteFile(work / "password", "backup password\n");
    const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
    const std::string folder = std::string("tls-") + c.name;
    const std::string url = "ftps://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(c.port) + "/" + folder +
                            "/documents" + c.query;
    const std::string common = " --server-password-env SERVER_PW --password-file '" + (work / "password") +
                               "' --ca-file '" + gServers->certificate + "'";
    auto quorvel = [&](const std::string& arguments) {
      int status = RunShell("SERVER_PW='" + std::string(kPassword) + "' '" + binary + "' " + arguments +
                            " </dev/null >'" + (work / "output") + "' 2>&1");
      if (status != 0) std::printf("%s\n", ReadTextFile(work / "output").c_str());
      return status;
    };
    auto stored = [&] {
      std::string listing;
      RunShell("cd '" + gServers->root + "/" + folder + "/documents' && stat -c '%n %s %Y' * | sort", &listing);
      return listing;
    };
    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common), 0);
    const std::string first = stored();
    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common), 0);
    EXPECT_EQ(stored(), first) << "an unchanged run stores nothing";
    WriteFile(tree.root + "/names/added.txt", "added");
    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common), 0);
    EXPECT_NE(stored(), first);
    ASSERT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "'" + common), 0);
    EXPECT_EQ(TreeDifferences(tree.root, work / "restored/Documents"), std::vector<std::string>{});
    ASSERT_EQ(quorvel("restore '" + url + "' --to '" + (work / "chosen") + "' names" + common), 0);
    EXPECT_EQ(ReadTextFile(work / "chosen/names/added.txt"), "added");
    EXPECT_EQ(quorvel("verify '" + url + "'" + common), 0);
    EXPECT_EQ(quorvel("prune '" + tree.root + "' '" + url + "'" + common), 0);
    std::string part;
    RunShell("ls '" + gServers->root + "/" + folder + "/documents' | grep '^File_' | head -1", &part);
    ASSERT_FALSE(part.empty());
    part.pop_back();
    ASSERT_EQ(RunShell("printf '\\377' | dd of='" + gServers->root + "/" + folder + "/documents/" + part +
                       "' bs=1 seek=100 conv=notrunc status=none"),
              0);
    EXPECT_NE(quorvel("verify '" + url + "'" + common), 0);
    EXPECT_EQ(quorvel("delete '" + url + "' --destination-too" + common), 0);
    EXPECT_NE(access((gServers->root + "/" + folder + "/documents").c_str(), F_OK), 0);
  }
}

// The server goes away in the middle of a backup and comes back: the run
// waits by the retry policy and completes, and what it stored restores.
TEST_F(FtpServer, ABackupOutlivesTheServerGoingAwayForAWhile) {
  TempDir work;
  mkdir((work / "source").c_str(), 0755);
  WriteFile(work / "source/large.bin", PseudoRandomData(160 << 20, 5));
  WriteFile(work / "password", "backup password\n");
  const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
  const std::string url = "ftp://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(gServers->port) +
                          "/outage/source";
  const std::string common = " --server-password-env SERVER_PW --password-file '" + (work / "password") + "'";
  auto quorvel = [&](const std::string& arguments) {
    return RunShell("SERVER_PW='" + std::string(kPassword) + "' '" + binary + "' " + arguments + " </dev/null >'" +
                    (work / "output") + "' 2>&1");
  };
  int status = -1;
  std::thread backup([&] { status = quorvel("backup '" + (work / "source") + "' '" + url + "' --segment-size 1" + common); });
  for (int i = 0; i < 600 && RunShell("ls '" + gServers->root + "/outage/source' 2>/dev/null | grep -q '^File_.*0003'") != 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  gServers->haltExplicitServer();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_EQ(gServers->relaunchExplicitServer(), "");
  backup.join();
  const std::string output = ReadTextFile(work / "output");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("network error: retrying in"), std::string::npos) << output;
  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "'" + common), 0)
      << ReadTextFile(work / "output");
  EXPECT_EQ(Md5sumOfFile(work / "restored/source/large.bin"), Md5sumOfFile(work / "source/large.bin"));
}

}  // namespace
}  // namespace quorvel
