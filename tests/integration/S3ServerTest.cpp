// S3 destinations against a real S3 server on 127.0.0.1: s3rver (npm), patched
// by tests/integration/s3-server.sh so that it verifies both signature
// versions as Amazon S3 does. The commands run through the quorvel binary as a
// user runs them ("s3://BUCKET/PATH --s3-endpoint ..."), with signature
// versions 4 and 2, path-style and virtual-host requests (BUCKET.s3.localhost,
// which libcurl resolves to the loopback address); s3cmd reads what they
// stored. Listings of more than one page, copies, deletions and buckets also
// through the controller itself. Skips with the reason when Node or npm is
// missing (scripts/setup test installs them and the server).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/TransferTestSupport.h"
#include "support/GeneratedTree.h"
#include "support/TreeComparison.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

// s3rver's own keys.
const char* kAccessKey = "S3RVER";
const char* kSecretKey = "S3RVER";

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class S3Server {
 public:
  explicit S3Server(bool tls = false) : tls_(tls) {}

  // Empty when the server runs, else why not.
  std::string start() {
    if (!HaveProgram("node") || !HaveProgram("npm")) return "node and npm are needed (scripts/setup test)";
    if (!HaveProgram("curl")) return "curl is needed (scripts/setup test)";
    root_ = std::make_unique<TempDir>();
    port = FreeLoopbackPort();
    return launch();
  }

  std::string launch() {
    std::string output;
    if (RunShell("bash '" + Script() + "' start '" + root_->path() + "' " + std::to_string(port) +
                     (tls_ ? " tls" : "") + " 2>&1",
                 &output) != 0) {
      return Trimmed(output);
    }
    started_ = true;
    return "";
  }

  // Ends the server at once, as a crash would.
  void kill() {
    std::string pid = Trimmed(ReadTextFile(*root_ / "s3rver.pid"));
    if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
    for (int i = 0; i < 100 && LoopbackPortAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  void stop() {
    if (started_) RunShell("bash '" + Script() + "' stop '" + root_->path() + "'");
    root_.reset();
  }

  std::string endpoint(bool virtualHost = false) const {
    return std::string(tls_ ? "https://" : "http://") + (virtualHost ? "s3.localhost" : "127.0.0.1") + ":" +
           std::to_string(port);
  }
  std::string certificate() const { return *root_ / "tls/cert.pem"; }
  // The folder that holds a bucket's objects ("KEY._S3rver_object" files).
  std::string bucketFolder(const std::string& bucket) const { return *root_ / ("data/" + bucket); }
  // Names and sizes of the stored objects below a folder of a bucket (and
  // the times they were written).
  std::string storedListing(const std::string& bucket, const std::string& folder) const {
    std::string listing;
    RunShell("cd '" + bucketFolder(bucket) + "/" + folder +
                 "' 2>/dev/null && find . -name '*._S3rver_object' -printf '%P %s %T@\\n' | sort",
             &listing);
    return listing;
  }
  // An s3cmd configuration for this server (path-style requests).
  std::string s3cmdConfiguration() const {
    const std::string path = *root_ / "s3cmd.cfg";
    WriteFile(path, "[default]\naccess_key = " + std::string(kAccessKey) + "\nsecret_key = " + kSecretKey +
                        "\nhost_base = 127.0.0.1:" + std::to_string(port) + "\nhost_bucket = 127.0.0.1:" +
                        std::to_string(port) + "\nuse_https = False\nsignature_v2 = False\n");
    return path;
  }

  int port = 0;

 private:
  static std::string Script() { return std::string(QUORVEL_FIXTURES_DIR) + "/../integration/s3-server.sh"; }

  bool tls_;
  std::unique_ptr<TempDir> root_;
  bool started_ = false;
};

S3Server* gServer = nullptr;
std::string gSkipReason;
// The same server over https, with a self-signed certificate.
S3Server* gTLSServer = nullptr;
std::string gTLSSkipReason;

class S3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gServer = new S3Server();
    gSkipReason = gServer->start();
    if (!gSkipReason.empty()) std::printf("S3 tests skipped: %s\n", gSkipReason.c_str());
    gTLSServer = new S3Server(true);
    gTLSSkipReason = gSkipReason.empty() ? gTLSServer->start() : gSkipReason;
  }
  static void TearDownTestSuite() {
    for (S3Server** server : {&gServer, &gTLSServer}) {
      (*server)->stop();
      delete *server;
      *server = nullptr;
    }
  }

  void SetUp() override {
    if (!gSkipReason.empty()) GTEST_SKIP() << gSkipReason;
    mkdir((work / "home").c_str(), 0700);
  }

  // Runs the quorvel binary; the exit status, with standard output and error
  // in *output. The secret key is in $S3_SECRET, a wrong one in $WRONG_SECRET.
  int quorvel(const std::string& arguments, std::string* output) {
    const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
    int status = RunShell("env -u AWS_ACCESS_KEY_ID -u AWS_SECRET_ACCESS_KEY HOME='" + (work / "home") +
                          "' QUORVEL_KEYCHAIN=file QUORVEL_HOME='" + (work / "settings") + "' S3_SECRET='" +
                          kSecretKey + "' WRONG_SECRET='not-the-key' PW='backup secret' '" + binary + "' " + arguments +
                          " </dev/null >'" + (work / "output") + "' 2>&1");
    *output = ReadTextFile(work / "output");
    return status;
  }

  std::shared_ptr<AmazonS3TransferController> controller(const std::string& bucketAndFolder,
                                                         const std::string& query = "s3=1") {
    std::optional<Url> url = Url::URLWithString("http://" + std::string(kAccessKey) + ":" + kSecretKey +
                                                "@127.0.0.1:" + std::to_string(gServer->port) + "/" + bucketAndFolder +
                                                "?" + query);
    if (!url) return nullptr;
    auto created = std::dynamic_pointer_cast<AmazonS3TransferController>(
        FileTransferController::fileTransferControllerWithURL(*url));
    if (created) {
      created->setTimeOut(30);
      created->setDelegate(&delegate);
    }
    return created;
  }

  TempDir work;
  RecordingDelegate delegate;
};

struct Variant {
  const char* name;
  const char* bucket;
  const char* parameters;  // of the s3:// URL
  bool virtualHost;
};

// Everything a user does with an S3 destination, with each signature version
// and addressing style: an encrypted backup into a bucket that does not exist
// yet, an unchanged run that stores nothing, a run after changes, full and
// selected restores, check, test, verify (also of a damaged object), prune
// and delete; s3cmd and openssl read a stored object on their own.
TEST_F(S3, EveryCommandWithBothSignaturesAndAddressingStyles) {
  const Variant variants[] = {
      {"V4, path style", "v4-path", "", false},
      {"V2, path style", "v2-path", "?signature=2", false},
      {"V4, virtual host", "v4-virtual", "?addressing=virtual", true},
      {"V2, virtual host", "v2-virtual", "?signature=2&addressing=virtual", true},
  };
  GeneratedTreeOptions options;
  options.smallFileCount = 20;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string pristine = work / "pristine";
  ASSERT_EQ(RunShell("cp -a '" + tree.root + "' '" + pristine + "'"), 0);
  for (const Variant& variant : variants) {
    SCOPED_TRACE(variant.name);
    // Each variant starts from the same tree.
    ASSERT_EQ(RunShell("rm -rf '" + tree.root + "' && cp -a '" + pristine + "' '" + tree.root + "'"), 0);
    const std::string folder = "backups/mine";
    const std::string url = "'s3://" + std::string(kAccessKey) + "@" + variant.bucket + "/" + folder +
                            variant.parameters + "' --s3-endpoint " + gServer->endpoint(variant.virtualHost);
    const std::string common = " --password-env PW --server-password-env S3_SECRET";
    std::string output;

    ASSERT_EQ(quorvel("backup '" + tree.root + "' " + url + " --segment-size 1" + common, &output), 0) << output;
    const std::string stored = gServer->storedListing(variant.bucket, folder);
    EXPECT_NE(stored.find("Revision_"), std::string::npos) << stored;

    // An independent client: s3cmd fetches the stored parts and openssl
    // decrypts them; the first part of segment/exact-plus-one.bin (a file one
    // byte larger than a segment is stored by itself, in parts) is among
    // them, with its recorded size and MD5.
    if (HaveProgram("s3cmd")) {
      const std::string configuration = gServer->s3cmdConfiguration();
      std::string parts;
      ASSERT_EQ(RunShell("cd '" + work.path() + "' && rm -rf fetched && mkdir fetched && cd fetched && "
                         "for key in $(s3cmd -c '" + configuration + "' ls s3://" + variant.bucket + "/" + folder +
                             "/ | awk '{print $4}' | grep '/File_'); do "
                             "s3cmd -c '" + configuration + "' --quiet get \"$key\" part || exit 1; "
                             "openssl enc -d -aes-256-cbc -md md5 -nosalt -pass 'pass:backup secret' -in part "
                             "-out plain 2>/dev/null || exit 1; echo $(wc -c < plain) $(md5sum < plain); "
                             "rm -f part plain; done",
                         &parts),
                0)
          << parts;
      bool found = false;
      std::istringstream lines(parts);
      for (std::string size, sum, dash; lines >> size >> sum >> dash;) {
        std::string expected;
        RunShell("head -c " + size + " '" + tree.root + "/segment/exact-plus-one.bin' | md5sum", &expected);
        if (expected.rfind(sum, 0) == 0 && std::stoull(size) > options.segmentSize / 2) found = true;
      }
      EXPECT_TRUE(found) << "no stored part is the start of exact-plus-one.bin:\n" << parts;
    }

    EXPECT_EQ(quorvel("backup '" + tree.root + "' " + url + common, &output), 0) << output;
    EXPECT_EQ(gServer->storedListing(variant.bucket, folder), stored) << "an unchanged run stores nothing";
    WriteFile(tree.root + "/small/file-003.txt", "changed contents");
    WriteFile(tree.root + "/names/added file é.txt", "added");
    EXPECT_EQ(quorvel("backup '" + tree.root + "' " + url + common, &output), 0) << output;
    EXPECT_NE(gServer->storedListing(variant.bucket, folder), stored);

    const std::string restored = work / (std::string("restored-") + variant.bucket);
    EXPECT_EQ(quorvel("restore " + url + " --to '" + restored + "'" + common, &output), 0) << output;
    EXPECT_EQ(JoinLines(CompareTrees(tree.root, restored + "/source")), "");
    const std::string some = work / (std::string("some-") + variant.bucket);
    EXPECT_EQ(quorvel("restore " + url + " --to '" + some + "' names" + common, &output), 0) << output;
    EXPECT_EQ(ReadTextFile(some + "/names/added file é.txt"), "added");
    EXPECT_NE(access((some + "/small").c_str(), F_OK), 0);

    EXPECT_EQ(quorvel("check " + url + common, &output), 0) << output;
    EXPECT_EQ(quorvel("test '" + tree.root + "' " + url + common, &output), 0) << output;
    EXPECT_NE(output.find("up to date"), std::string::npos) << output;
    EXPECT_EQ(quorvel("verify " + url + common, &output), 0) << output;
    EXPECT_EQ(quorvel("prune '" + tree.root + "' " + url + common, &output), 0) << output;

    // One flipped byte in a stored part is found.
    std::string part;
    RunShell("cd '" + gServer->bucketFolder(variant.bucket) + "/" + folder +
                 "' && ls | grep '^File_.*_S3rver_object$' | head -1",
             &part);
    part = gServer->bucketFolder(variant.bucket) + "/" + folder + "/" + Trimmed(part);
    ASSERT_GT(FileSize(part), 100u) << part;
    RunShell("printf '\\377' | dd of='" + part + "' bs=1 seek=50 conv=notrunc 2>/dev/null");
    EXPECT_NE(quorvel("verify " + url + common, &output), 0) << output;

    EXPECT_EQ(quorvel("delete " + url + " --destination-too" + common, &output), 0) << output;
    EXPECT_EQ(gServer->storedListing(variant.bucket, folder), "");
  }
}

// A wrong secret key fails at once, with the destination named and the key
// not; it is not retried. Missing keys are asked for before anything runs.
TEST_F(S3, AWrongSecretKeyFailsAtOnceAndForGood) {
  mkdir((work / "source").c_str(), 0755);
  WriteFile(work / "source/a.txt", "first file");
  const std::string url = "s3://" + std::string(kAccessKey) + "@refusals/source --s3-endpoint " + gServer->endpoint();
  std::string output;
  ASSERT_EQ(quorvel("backup '" + (work / "source") + "' " + url + " --server-password-env S3_SECRET", &output), 0)
      << output;
  const struct {
    const char* parameters;
    bool virtualHost;
  } variants[] = {{"", false}, {"?signature=2", false}, {"?addressing=virtual", true},
                  {"?signature=2&addressing=virtual", true}};
  for (const auto& variant : variants) {
    SCOPED_TRACE(variant.parameters);
    const std::string wrong = "'s3://" + std::string(kAccessKey) + "@refusals/source" + variant.parameters +
                              "' --s3-endpoint " + gServer->endpoint(variant.virtualHost);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(quorvel("check " + wrong + " --server-password-env WRONG_SECRET", &output), 1) << output;
    EXPECT_NE(output.find("refused the access key or signature for \"http://S3RVER@" +
                          std::string(variant.virtualHost ? "s3.localhost" : "127.0.0.1") + ":" +
                          std::to_string(gServer->port) + "/refusals/source\""),
              std::string::npos)
        << output;
    EXPECT_EQ(quorvel("check " + wrong + " --server-password-env S3_SECRET", &output), 0) << output;
    EXPECT_NE(output.find("Revision:"), std::string::npos) << output;
    EXPECT_EQ(quorvel("check " + wrong + " --server-password-env WRONG_SECRET", &output), 1) << output;
    EXPECT_NE(output.find("SignatureDoesNotMatch"), std::string::npos) << output;
    EXPECT_EQ(output.find("not-the-key"), std::string::npos) << output;
    EXPECT_EQ(output.find("retrying"), std::string::npos) << output;
    EXPECT_LT(SecondsSince(started), 15.0) << "a refused key is not retried";
  }
  // The keys from the environment, as other S3 clients take them.
  EXPECT_EQ(RunShell("AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=S3RVER HOME='" + (work / "home") +
                     "' QUORVEL_HOME='" + (work / "settings") + "' '" + std::string(QUORVEL_TEST_BINARY_DIR) +
                     "/quorvel' check s3://refusals/source --s3-endpoint " + gServer->endpoint() + " >/dev/null 2>&1"),
            0);
  EXPECT_EQ(quorvel("check s3://refusals/source --s3-endpoint " + gServer->endpoint(), &output), 1);
  EXPECT_NE(output.find("an S3 destination needs an access key ID"), std::string::npos) << output;
}

// Over https the server's certificate is checked: a self-signed one is
// refused at once, naming the host and the reason, and accepted with
// --ca-file (also for bucket host names) or --insecure-tls.
TEST_F(S3, OverHttpsTheCertificateIsChecked) {
  if (!gTLSSkipReason.empty()) GTEST_SKIP() << gTLSSkipReason;
  GeneratedTreeOptions options;
  options.smallFileCount = 10;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string url = "s3://" + std::string(kAccessKey) + "@secure/source --s3-endpoint " + gTLSServer->endpoint();
  const std::string common = " --password-env PW --server-password-env S3_SECRET";
  std::string output;

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quorvel("backup '" + tree.root + "' " + url + common, &output), 1) << output;
  EXPECT_NE(output.find("certificate of 127.0.0.1 was refused"), std::string::npos) << output;
  EXPECT_NE(output.find("self-signed"), std::string::npos) << output;
  EXPECT_LT(SecondsSince(started), 15.0) << "a refused certificate is not retried";

  const std::string ca = " --ca-file '" + gTLSServer->certificate() + "'";
  ASSERT_EQ(quorvel("backup '" + tree.root + "' " + url + " --segment-size 1" + common + ca, &output), 0) << output;
  EXPECT_EQ(quorvel("restore " + url + " --to '" + (work / "restored") + "' --insecure-tls" + common, &output), 0)
      << output;
  EXPECT_EQ(JoinLines(CompareTrees(tree.root, work / "restored/source")), "");
  const std::string virtualHost = "'s3://" + std::string(kAccessKey) +
                                  "@secure/source?signature=2&addressing=virtual' --s3-endpoint " +
                                  gTLSServer->endpoint(true);
  EXPECT_EQ(quorvel("verify " + virtualHost + common + ca, &output), 0) << output;
}

// The controller's own operations: a listing of more than 1,000 objects
// (more than one page) is complete, folders are key prefixes, copies and
// deletions, a missing object, a bucket made with a location and deleted.
TEST_F(S3, ListingsCopiesDeletionsAndBuckets) {
  std::shared_ptr<AmazonS3TransferController> client = controller("many/folder");
  ASSERT_TRUE(client);
  EXPECT_FALSE(client->contentsOfDirectoryAtPath(""));
  ASSERT_TRUE(client->lastFailure());
  EXPECT_TRUE(client->isMissingItemError(*client->lastFailure())) << delegate.lastErrorText();
  ASSERT_TRUE(client->createDirectoryAtPath("")) << delegate.lastErrorText();
  EXPECT_TRUE(client->createDirectoryAtPath("")) << "a bucket of one's own is there already";

  const int kCount = 1042;
  for (int i = 0; i < kCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "entry-%05d.dat", i);
    ASSERT_TRUE(client->uploadFileFromData(Data(i % 7, 'x'), name)) << name << ": " << delegate.lastErrorText();
  }
  ASSERT_TRUE(client->uploadFileFromData(Data{'s'}, "sub/inner.txt")) << delegate.lastErrorText();
  std::optional<Dictionary> listing = client->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing) << delegate.lastErrorText();
  EXPECT_EQ(listing->size(), static_cast<std::size_t>(kCount) + 1);
  EXPECT_EQ(listing->get("entry-01041.dat")[kFileSize].asUInt(99), 1041u % 7);
  EXPECT_EQ(listing->get("entry-00000.dat")[kFileType].asString(), kFileTypeRegular);
  EXPECT_EQ(listing->get("sub")[kFileType].asString(), kFileTypeDirectory);
  EXPECT_TRUE(listing->get("entry-00500.dat")[kFileModificationDate].isDate());
  // One page holds at most 1,000 keys: the rest came with the marker.
  std::optional<S3ListingPage> first = client->bucketKeys("folder/", "", "/", 0);
  ASSERT_TRUE(first) << delegate.lastErrorText();
  EXPECT_TRUE(first->isTruncated);
  EXPECT_EQ(first->objects.size() + first->commonPrefixes.size(), 1000u);

  std::optional<Dictionary> inner = client->contentsOfDirectoryAtPath("sub");
  ASSERT_TRUE(inner) << delegate.lastErrorText();
  EXPECT_EQ(inner->keys(), std::vector<std::string>{"inner.txt"});

  // Copies on the server, keys with characters that need escaping included.
  const Data plain = PseudoRandomData(300001, 3);
  client->setEncryptionPassword("copy secret");
  ASSERT_TRUE(client->uploadFileFromData(plain, "a+b=c&d é.bin")) << delegate.lastErrorText();
  ASSERT_TRUE(client->copyPath("a+b=c&d é.bin", "sub/copy.bin")) << delegate.lastErrorText();
  std::optional<Data> copied = client->downloadFileFromPathToData("sub/copy.bin", 1 << 20);
  ASSERT_TRUE(copied) << delegate.lastErrorText();
  EXPECT_TRUE(*copied == plain);
  // A body of unknown length is read before it goes.
  MemoryInputStream stream(plain);
  ASSERT_TRUE(client->uploadFileToPath("unknown-length.bin", stream)) << delegate.lastErrorText();
  std::optional<Data> unknown = client->downloadFileFromPathToData("unknown-length.bin", 1 << 20);
  client->setEncryptionPassword(std::nullopt);
  ASSERT_TRUE(unknown) << delegate.lastErrorText();
  EXPECT_TRUE(*unknown == plain);

  EXPECT_FALSE(client->downloadFileFromPathToData("missing.txt", 1000));
  ASSERT_TRUE(client->lastFailure());
  EXPECT_TRUE(client->isMissingItemError(*client->lastFailure()));
  EXPECT_NE(delegate.lastErrorText().find("NoSuchKey"), std::string::npos) << delegate.lastErrorText();
  ASSERT_TRUE(client->deleteFileAtPath("sub/copy.bin")) << delegate.lastErrorText();
  ASSERT_TRUE(client->deleteFileAtPath("sub/inner.txt")) << delegate.lastErrorText();
  EXPECT_TRUE(client->deleteDirectoryAtPath("sub")) << delegate.lastErrorText();
  listing = client->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->get("sub").isNull(), true);

  // A bucket created with a location, then deleted (it must be empty).
  std::shared_ptr<AmazonS3TransferController> located = controller("located", "s3=1&bucket-location=eu-west-1");
  ASSERT_TRUE(located);
  EXPECT_EQ(located->newBucketLocation(), "eu-west-1");
  ASSERT_TRUE(located->createDirectoryAtPath("")) << delegate.lastErrorText();
  std::optional<std::string> location = located->locationForPath("");
  ASSERT_TRUE(location) << delegate.lastErrorText();
  ASSERT_TRUE(located->uploadFileFromData(Data{'1'}, "one")) << delegate.lastErrorText();
  EXPECT_FALSE(located->deleteDirectoryAtPath("")) << "a bucket that is not empty stays";
  EXPECT_NE(delegate.lastErrorText().find("BucketNotEmpty"), std::string::npos) << delegate.lastErrorText();
  ASSERT_TRUE(located->deleteFileAtPath("one")) << delegate.lastErrorText();
  EXPECT_TRUE(located->deleteDirectoryAtPath("")) << delegate.lastErrorText();
  EXPECT_FALSE(located->contentsOfDirectoryAtPath(""));
  ASSERT_TRUE(located->lastFailure());
  EXPECT_TRUE(located->isMissingItemError(*located->lastFailure())) << delegate.lastErrorText();
}

// The server dies in the middle of a backup and stays away: the run retries
// by the retry policy and fails cleanly; once the server is back, the
// revision before still restores.
TEST_F(S3, AServerThatDiesMidBackupLeavesThePreviousRevisionRestorable) {
  GeneratedTreeOptions options;
  options.smallFileCount = 10;
  GeneratedTree tree = GenerateTree(work / "source", options);
  const std::string first = work / "first";
  ASSERT_EQ(RunShell("cp -a '" + tree.root + "' '" + first + "'"), 0);
  const std::string url = "s3://" + std::string(kAccessKey) + "@outage/source --s3-endpoint " + gServer->endpoint();
  const std::string common = " --password-env PW --server-password-env S3_SECRET";
  std::string output;
  ASSERT_EQ(quorvel("backup '" + tree.root + "' " + url + " --segment-size 1" + common, &output), 0) << output;

  WriteFile(tree.root + "/large.bin", PseudoRandomData(120 << 20, 5));
  int status = -1;
  std::string runOutput;
  const std::string binary = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";
  std::thread backup([&] {
    status = RunShell("HOME='" + (work / "home") + "' QUORVEL_HOME='" + (work / "settings") +
                      "' S3_SECRET=S3RVER PW='backup secret' '" + binary + "' backup '" + tree.root + "' " + url +
                      " --segment-size 1 --max-retries 1" + common + " </dev/null >'" + (work / "run-output") +
                      "' 2>&1");
  });
  const std::string objects = gServer->bucketFolder("outage") + "/source";
  int before = 0;
  {
    std::string count;
    RunShell("ls '" + objects + "' | grep -c '^File_.*_S3rver_object$'", &count);
    before = std::atoi(count.c_str());
  }
  for (int i = 0; i < 1500; ++i) {
    std::string count;
    RunShell("ls '" + objects + "' | grep -c '^File_.*_S3rver_object$'", &count);
    if (std::atoi(count.c_str()) >= before + 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  gServer->kill();
  backup.join();
  runOutput = ReadTextFile(work / "run-output");
  EXPECT_EQ(status, 1) << runOutput;
  EXPECT_NE(runOutput.find("network error: retrying in"), std::string::npos) << runOutput;
  EXPECT_NE(runOutput.find("giving up"), std::string::npos) << runOutput;

  ASSERT_EQ(gServer->launch(), "");
  EXPECT_EQ(quorvel("restore " + url + " --to '" + (work / "restored") + "'" + common, &output), 0) << output;
  EXPECT_EQ(JoinLines(CompareTrees(first, work / "restored/source")), "");
}

}  // namespace
}  // namespace quorvel
