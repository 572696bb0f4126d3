// WebDAV destinations against real servers on 127.0.0.1: Apache mod_dav
// (Basic credentials) and lighttpd mod_webdav (Digest credentials), each over
// http and https with a self-signed certificate, started by
// tests/integration/webdav-server.sh. The commands run through the quorvel
// binary as a user runs them; listings and folder operations also through
// the controller itself. Skips with the reason when a server cannot start
// (not root, packages missing: scripts/setup test installs them).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>
#include <memory>

#include "FileTransferController/TransferTestSupport.h"
#include "FileTransferController/WebDAVTransferController.h"
#include "foundation/Keychain.h"
#include "foundation/UserDefaults.h"
#include "support/GeneratedTree.h"
#include "support/TreeComparison.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

const char* kUser = "davtester";
const char* kPassword = "dav pass 1";

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class WebDavServer {
 public:
  explicit WebDavServer(std::string kind) : kind_(std::move(kind)) {}

  // Empty when the server runs, else why not.
  std::string start() {
    if (geteuid() != 0) return "needs root to start " + kind_ + " as www-data";
    if (!HaveProgram("curl") || !HaveProgram("openssl")) return "curl and openssl are needed (scripts/setup test)";
    root_ = std::make_unique<TempDir>();
    chmod(root_->path().c_str(), 0755);
    httpPort = FreeLoopbackPort();
    httpsPort = FreeLoopbackPort();
    return launch();
  }

  // Stops the server and keeps its folder; launch() starts it again on the
  // same ports (empty when it runs, else why not).
  void halt() { RunShell("bash '" + Script() + "' stop '" + root_->path() + "'"); }
  std::string launch() {
    std::string output;
    int status = RunShell("bash '" + Script() + "' start " + kind_ + " '" + root_->path() + "' " +
                              std::to_string(httpPort) + " " + std::to_string(httpsPort) + " " + kUser + " '" +
                              kPassword + "' 2>&1",
                          &output);
    if (status != 0) return Trimmed(output);
    started_ = true;
    return "";
  }

  void stop() {
    if (started_) RunShell("bash '" + Script() + "' stop '" + root_->path() + "'");
    root_.reset();
  }

  std::string url(const std::string& scheme, const std::string& folder) const {
    return scheme + "://" + kUser + "@127.0.0.1:" + std::to_string(scheme == "https" ? httpsPort : httpPort) +
           "/dav/" + folder;
  }
  const std::string& kind() const { return kind_; }
  // The served folder on disk.
  std::string data() const { return *root_ / "data"; }
  std::string certificate() const { return *root_ / "tls/cert.pem"; }
  std::string accessLog() const { return ReadTextFile(*root_ / "logs/access.log"); }

  // Names, sizes and modification times of the stored files below `folder`.
  std::string storedListing(const std::string& folder) const {
    std::string listing;
    RunShell("cd '" + data() + "/" + folder + "' && find . -type f -printf '%P %s %T@\\n' | sort", &listing);
    return listing;
  }

  int httpPort = 0;
  int httpsPort = 0;

 private:
  static std::string Script() { return std::string(QUORVEL_FIXTURES_DIR) + "/../integration/webdav-server.sh"; }

  std::string kind_;
  std::unique_ptr<TempDir> root_;
  bool started_ = false;
};

std::map<std::string, WebDavServer*> gServers;
std::map<std::string, std::string> gSkipReasons;

class WebDav : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* kind : {"apache", "lighttpd"}) {
      gServers[kind] = new WebDavServer(kind);
      gSkipReasons[kind] = gServers[kind]->start();
      if (!gSkipReasons[kind].empty()) std::printf("%s tests skipped: %s\n", kind, gSkipReasons[kind].c_str());
    }
  }
  static void TearDownTestSuite() {
    for (auto& [kind, server] : gServers) {
      server->stop();
      delete server;
    }
    gServers.clear();
  }

  // The server of the kind, or nothing (and the test skipped).
  WebDavServer* server(const std::string& kind) {
    if (!gSkipReasons[kind].empty()) return nullptr;
    return gServers[kind];
  }

  void SetUp() override { mkdir((work / "home").c_str(), 0700); }

  // Runs the quorvel binary; the exit status, with standard output and error
  // in *output.
  int quorvel(const std::string& arguments, std::string* output) {
    const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
    int status = RunShell(extraEnvironment + "HOME='" + (work / "home") + "' QUORVEL_KEYCHAIN=file QUORVEL_HOME='" +
                          (work / "settings") + "' SERVER_PW='" + kPassword + "' WRONG_PW='not it' PW='secret' '" +
                          binary + "' " + arguments + " </dev/null >'" + (work / "output") + "' 2>&1");
    *output = ReadTextFile(work / "output");
    return status;
  }

  std::shared_ptr<WebDAVTransferController> controller(const std::string& url) {
    std::optional<Url> parsed = Url::URLWithString(url);
    if (!parsed) return nullptr;
    std::optional<Url> withPassword = Url::URLWithScheme(parsed->scheme(), parsed->user(), kPassword, parsed->host(),
                                                         parsed->port().value_or(0), parsed->path(), parsed->query());
    auto created = std::dynamic_pointer_cast<WebDAVTransferController>(
        FileTransferController::fileTransferControllerWithURL(*withPassword));
    if (created) created->setTimeOut(30);
    return created;
  }

  // Runs every command against `dav`, with its files in `here`.
  void RunEveryCommand(WebDavServer& dav, const std::string& here) {
    GeneratedTreeOptions options;
    options.smallFileCount = 30;
    GeneratedTree tree = GenerateTree(here + "/source", options);
    const std::string url = dav.url("http", "backups/nested/source");
    const std::string common = " --password-env PW --server-password-env SERVER_PW";
    std::string output;

    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common, &output), 0) << output;
    const std::string stored = dav.storedListing("backups/nested/source");
    EXPECT_NE(stored.find("Revision_"), std::string::npos) << stored;

    // An independent client reads what the backup stored: the bytes on disk.
    std::string revision;
    RunShell("ls '" + dav.data() + "/backups/nested/source' | grep '^Revision_' | head -1", &revision);
    revision = Trimmed(revision);
    ASSERT_FALSE(revision.empty());
    EXPECT_EQ(RunShell("curl -s -f --anyauth -u '" + std::string(kUser) + ":" + kPassword + "' -o '" + (here + "/fetched") +
                       "' 'http://127.0.0.1:" + std::to_string(dav.httpPort) + "/dav/backups/nested/source/" +
                       revision + "'"),
              0);
    EXPECT_EQ(ReadTextFile(here + "/fetched"), ReadTextFile(dav.data() + "/backups/nested/source/" + revision));

    EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;
    EXPECT_EQ(dav.storedListing("backups/nested/source"), stored);
    WriteFile(tree.root + "/small/file-003.txt", "changed contents");
    WriteFile(tree.root + "/names/added file.txt", "added");
    EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;
    EXPECT_NE(dav.storedListing("backups/nested/source"), stored);

    EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (here + "/restored") + "'" + common, &output), 0) << output;
    EXPECT_EQ(JoinLines(CompareTrees(tree.root, here + "/restored/source")), "");
    EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (here + "/some") + "' names" + common, &output), 0) << output;
    EXPECT_EQ(ReadTextFile(here + "/some/names/added file.txt"), "added");
    EXPECT_NE(access((here + "/some/small").c_str(), F_OK), 0);

    EXPECT_EQ(quorvel("check '" + url + "'" + common, &output), 0) << output;
    EXPECT_EQ(quorvel("test '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;
    EXPECT_EQ(quorvel("verify '" + url + "'" + common, &output), 0) << output;
    EXPECT_EQ(quorvel("prune '" + tree.root + "' '" + url + "'" + common, &output), 0) << output;

    // One flipped byte in a stored part is found.
    std::string part;
    RunShell("ls '" + dav.data() + "/backups/nested/source' | grep '^File_' | head -1", &part);
    part = dav.data() + "/backups/nested/source/" + Trimmed(part);
    ASSERT_GT(FileSize(part), 100u) << part;
    RunShell("printf '\\377' | dd of='" + part + "' bs=1 seek=50 conv=notrunc 2>/dev/null");
    EXPECT_NE(quorvel("verify '" + url + "'" + common, &output), 0) << output;

    EXPECT_EQ(quorvel("delete '" + url + "' --destination-too" + common, &output), 0) << output;
    EXPECT_NE(access((dav.data() + "/backups/nested/source").c_str(), F_OK), 0);
    EXPECT_EQ(access((dav.data() + "/backups/nested").c_str(), F_OK), 0);

    // Apache logs how many requests came before each one on its connection.
    if (dav.kind() != "apache") return;
    int reused = 0;
    std::istringstream log(dav.accessLog());
    for (std::string line; std::getline(log, line);) {
      if (line.find(" " + std::string(kUser) + " ") != std::string::npos && line.back() != '0') ++reused;
    }
    EXPECT_GT(reused, 20) << "requests on a connection used before";
  }

  TempDir work;
  // Variable assignments ("NAME=value ") put before every command.
  std::string extraEnvironment;
};

// Everything a user does with a WebDAV destination, on both servers: an
// encrypted backup into a folder whose parents are missing, an unchanged run
// that stores nothing, a run after changes, full and selected restores,
// verify (also of a damaged file), prune and delete; a stored file read by
// curl on its own; Apache's connections kept open between requests.
TEST_F(WebDav, EveryCommandOnBothServers) {
  for (const std::string kind : {"apache", "lighttpd"}) {
    SCOPED_TRACE(kind);
    WebDavServer* dav = server(kind);
    if (!dav) {
      std::printf("%s skipped: %s\n", kind.c_str(), gSkipReasons[kind].c_str());
      continue;
    }
    const std::string here = work / kind;
    ASSERT_EQ(mkdir(here.c_str(), 0755), 0);
    RunEveryCommand(*dav, here);
  }
}

// The certificate is checked: a self-signed one is refused at once, naming
// the host and the reason, and accepted with --ca-file or --insecure-tls. A
// wrong password fails at once, naming the destination but not the password.
TEST_F(WebDav, ApacheOverHttpsChecksCertificatesAndPasswords) {
  WebDavServer* apache = server("apache");
  if (!apache) GTEST_SKIP() << gSkipReasons["apache"];
  mkdir((work / "source").c_str(), 0755);
  WriteFile(work / "source/a.txt", "first file");
  WriteFile(work / "source/b.bin", std::string(300000, 'b'));
  const std::string url = apache->url("https", "tls/source");
  const std::string source = " '" + (work / "source") + "' '" + url + "'";
  const std::string common = " --password-env PW --server-password-env SERVER_PW";
  std::string output;

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("backup" + source + common, &output), 1) << output;
  EXPECT_NE(output.find("certificate of 127.0.0.1 was refused"), std::string::npos) << output;
  EXPECT_NE(output.find("self-signed"), std::string::npos) << output;
  EXPECT_LT(SecondsSince(started), 15.0) << "a refused certificate is not retried";
  EXPECT_NE(access((apache->data() + "/tls").c_str(), F_OK), 0);

  ASSERT_EQ(quorvel("backup" + source + common + " --ca-file '" + apache->certificate() + "'", &output), 0)
      << output;
  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "' --insecure-tls" + common, &output), 0)
      << output;
  EXPECT_EQ(JoinLines(CompareTrees(work / "source", work / "restored/source")), "");
  EXPECT_EQ(quorvel("verify '" + url + "' --insecure-tls" + common, &output), 0) << output;

  started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("check '" + url + "' --insecure-tls --password-env PW --server-password-env WRONG_PW", &output),
            1)
      << output;
  EXPECT_NE(output.find("refused the user name or password for \"https://davtester@127.0.0.1:" +
                        std::to_string(apache->httpsPort) + "/dav/tls/source\""),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("not it"), std::string::npos) << output;
  EXPECT_LT(SecondsSince(started), 15.0) << "refused credentials are not retried";

  // The options are for destinations over TLS only.
  EXPECT_NE(quorvel("check '" + apache->url("http", "tls/source") + "' --insecure-tls" + common, &output), 0);
  EXPECT_NE(output.find("--ca-file and --insecure-tls are for destinations over TLS"), std::string::npos) << output;
}

// lighttpd asks for Digest credentials and lists folders its own way.
TEST_F(WebDav, LighttpdWithDigestCredentials) {
  WebDavServer* lighttpd = server("lighttpd");
  if (!lighttpd) GTEST_SKIP() << gSkipReasons["lighttpd"];
  GeneratedTreeOptions options;
  options.smallFileCount = 20;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string common = " --password-env PW --server-password-env SERVER_PW";
  std::string output;
  for (const std::string scheme : {"http", "https"}) {
    SCOPED_TRACE(scheme);
    const std::string url = lighttpd->url(scheme, scheme + "/deeper/source");
    const std::string tls = scheme == "https" ? " --ca-file '" + lighttpd->certificate() + "'" : "";
    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common + tls, &output), 0)
        << output;
    const std::string stored = lighttpd->storedListing(scheme + "/deeper/source");
    EXPECT_EQ(quorvel("backup '" + tree.root + "' '" + url + "'" + common + tls, &output), 0) << output;
    EXPECT_EQ(lighttpd->storedListing(scheme + "/deeper/source"), stored);
    EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / ("restored-" + scheme)) + "'" + common + tls, &output),
              0)
        << output;
    EXPECT_EQ(JoinLines(CompareTrees(tree.root, work / ("restored-" + scheme) + "/source")), "");
    EXPECT_EQ(quorvel("verify '" + url + "'" + common + tls, &output), 0) << output;
    EXPECT_EQ(quorvel("delete '" + url + "' --destination-too" + common + tls, &output), 0) << output;
    EXPECT_NE(access((lighttpd->data() + "/" + scheme + "/deeper/source").c_str(), F_OK), 0);
  }
  EXPECT_EQ(quorvel("check '" + lighttpd->url("http", "http") + "' --password-env PW --server-password-env WRONG_PW",
                    &output),
            1)
      << output;
  EXPECT_NE(output.find("refused the user name or password"), std::string::npos) << output;

  // A remembered server password is found by later commands.
  const std::string remembered = lighttpd->url("http", "remembered/source");
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + remembered + "'" + common + " --remember-server-password",
                    &output),
            0)
      << output;
  EXPECT_EQ(quorvel("check '" + remembered + "' --password-env PW", &output), 0) << output;
}

// The hosted disk service at its configured address: the member's folder is
// found from the URL's user or from the member name in the preferences, and
// the password comes from the URL or from the keychain.
TEST_F(WebDav, HostedDiskServiceAtItsConfiguredAddress) {
  WebDavServer* apache = server("apache");
  if (!apache) GTEST_SKIP() << gSkipReasons["apache"];
  const std::string address = "127.0.0.1:" + std::to_string(apache->httpPort);
  extraEnvironment = std::string(HostedDiskService::kHostEnvironmentVariable) + "=" + address + " ";
  {
    Keychain keychain(CreateFileKeychainStore(work / "settings/Keychain"));
    ASSERT_TRUE(keychain.addGenericPassword(kPassword, HostedDiskService::kKeychainService, kUser));
    UserDefaults preferences(work / "settings/Defaults.plist");
    preferences.setObject(Value(std::string(kUser)), HostedDiskService::kMemberDefaultsKey);
    preferences.synchronize();
  }
  GeneratedTreeOptions options;
  options.smallFileCount = 5;
  GeneratedTree tree = GenerateTree(work / "source", options);
  struct Case {
    std::string url;
    const char* options;
    const char* folder;
  } cases[] = {
      {"http://" + std::string(kUser) + "@" + address + "/given", " --server-password-env SERVER_PW", "given"},
      {"http://" + std::string(kUser) + "@" + address + "/keychain", "", "keychain"},
      {"http://" + address + "/preferences", "", "preferences"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string output;
    ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + c.url + "' --password-env PW" + c.options, &output), 0)
        << output;
    EXPECT_NE(apache->storedListing(std::string(kUser) + "/" + c.folder).find("Revision_"), std::string::npos);
    EXPECT_EQ(quorvel("verify '" + c.url + "' --password-env PW" + c.options, &output), 0) << output;
  }
}

// The server going away in the middle of a backup: the run retries by the
// policy, then fails; the previous revision still restores.
TEST_F(WebDav, AServerThatDiesMidBackupLeavesThePreviousRevisionRestorable) {
  WebDavServer* dav = server("lighttpd");
  if (!dav) GTEST_SKIP() << gSkipReasons["lighttpd"];
  GeneratedTreeOptions options;
  options.smallFileCount = 10;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string first = work / "first";
  ASSERT_EQ(RunShell("cp -a '" + tree.root + "' '" + first + "'"), 0);
  const std::string url = dav->url("http", "outage/source");
  const std::string common = " --password-env PW --server-password-env SERVER_PW";
  std::string output;
  ASSERT_EQ(quorvel("backup '" + tree.root + "' '" + url + "' --segment-size 1" + common, &output), 0) << output;

  WriteFile(tree.root + "/large.bin", PseudoRandomData(120 << 20, 5));
  const std::string parts = "ls '" + dav->data() + "/outage/source' | grep -c '^File_'";
  std::string count;
  RunShell(parts, &count);
  const int before = std::atoi(count.c_str());
  int status = -1;
  std::thread backup([&] {
    status = RunShell("HOME='" + (work / "home") + "' QUORVEL_KEYCHAIN=file QUORVEL_HOME='" + (work / "settings") +
                      "' SERVER_PW='" + kPassword + "' PW='secret' '" + std::string(QUORVEL_TEST_BINARY_DIR) +
                      "/quorvel' backup '" + tree.root + "' '" + url + "' --segment-size 1 --max-retries 1" + common +
                      " </dev/null >'" + (work / "run-output") + "' 2>&1");
  });
  for (int i = 0; i < 1500; ++i) {
    RunShell(parts, &count);
    if (std::atoi(count.c_str()) >= before + 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  dav->halt();
  backup.join();
  const std::string runOutput = ReadTextFile(work / "run-output");
  EXPECT_EQ(status, 1) << runOutput;
  EXPECT_NE(runOutput.find("network error: retrying in"), std::string::npos) << runOutput;
  EXPECT_NE(runOutput.find("giving up"), std::string::npos) << runOutput;

  ASSERT_EQ(dav->launch(), "");
  EXPECT_EQ(quorvel("restore '" + url + "' --to '" + (work / "restored") + "'" + common, &output), 0) << output;
  EXPECT_EQ(JoinLines(CompareTrees(first, work / "restored/source")), "");
}

// The folder operations on both servers: a folder of 5,000 entries lists
// completely; copy, move, deletes (a missing item counts as deleted).
TEST_F(WebDav, FolderOperationsOnBothServers) {
  for (const std::string kind : {"apache", "lighttpd"}) {
    SCOPED_TRACE(kind);
    WebDavServer* davServer = server(kind);
    if (!davServer) {
      std::printf("%s skipped: %s\n", kind.c_str(), gSkipReasons[kind].c_str());
      continue;
    }
    const std::string many = davServer->data() + "/many";
    ASSERT_EQ(RunShell("mkdir -p '" + many + "' && cd '" + many +
                       "' && seq -f 'entry-%05g.dat' 1 5000 | xargs touch && chown -R www-data: '" + many + "'"),
              0);
    std::shared_ptr<WebDAVTransferController> client = controller(davServer->url("http", "many"));
    ASSERT_TRUE(client);
    RecordingDelegate delegate;
    client->setDelegate(&delegate);
    std::optional<Dictionary> listing = client->contentsOfDirectoryAtPath("");
    ASSERT_TRUE(listing) << delegate.lastErrorText();
    EXPECT_EQ(listing->size(), 5000u);
    EXPECT_EQ(listing->get("entry-04321.dat")[kFileSize].asUInt(99), 0u);

    ASSERT_TRUE(client->createDirectoryAtPath("folder")) << delegate.lastErrorText();
    EXPECT_FALSE(client->createDirectoryAtPath("folder")) << "it is there already";
    ASSERT_TRUE(client->uploadFileFromData(Data{'a', 'b', 'c'}, "folder/one.txt")) << delegate.lastErrorText();
    ASSERT_TRUE(client->copyPath("folder/one.txt", "folder/two.txt")) << delegate.lastErrorText();
    ASSERT_TRUE(client->movePath("folder/two.txt", "folder/three.txt")) << delegate.lastErrorText();
    std::optional<Dictionary> inFolder = client->contentsOfDirectoryAtPath("folder");
    ASSERT_TRUE(inFolder) << delegate.lastErrorText();
    EXPECT_EQ(inFolder->keys().size(), 2u);
    EXPECT_EQ(inFolder->get("three.txt")[kFileSize].asUInt(), 3u);
    EXPECT_EQ(inFolder->get("three.txt")[kFileType].asString(), kFileTypeRegular);
    std::optional<Data> read = client->downloadFileFromPathToData("folder/three.txt", 1000);
    ASSERT_TRUE(read) << delegate.lastErrorText();
    EXPECT_EQ(*read, (Data{'a', 'b', 'c'}));
    // A body of unknown length goes chunked, here encrypted.
    const Data plain = PseudoRandomData(700000);
    client->setEncryptionPassword("chunked");
    MemoryInputStream stream(plain);
    ASSERT_TRUE(client->uploadFileToPath("folder/chunked.bin", stream)) << delegate.lastErrorText();
    EXPECT_EQ(FileSize(many + "/folder/chunked.bin"), client->expectedUploadLength(plain.size()));
    std::optional<Data> decrypted = client->downloadFileFromPathToData("folder/chunked.bin", 1 << 20);
    client->setEncryptionPassword(std::nullopt);
    ASSERT_TRUE(decrypted) << delegate.lastErrorText();
    EXPECT_TRUE(*decrypted == plain);
    ASSERT_TRUE(client->deleteFileAtPath("folder/chunked.bin")) << delegate.lastErrorText();
    EXPECT_FALSE(client->downloadFileFromPathToData("folder/missing.txt", 1000));
    ASSERT_TRUE(client->lastFailure());
    EXPECT_TRUE(client->isMissingItemError(*client->lastFailure()));
    EXPECT_TRUE(client->deleteFileAtPath("folder/missing.txt")) << delegate.lastErrorText();
    EXPECT_TRUE(client->deleteDirectoryRecursivelyAtPath("folder")) << delegate.lastErrorText();
    EXPECT_NE(access((many + "/folder").c_str(), F_OK), 0);
    EXPECT_TRUE(client->deleteDirectoryRecursivelyAtPath("")) << delegate.lastErrorText();
    EXPECT_NE(access(many.c_str(), F_OK), 0);
  }
}

}  // namespace
}  // namespace quorvel
