// The update check against Python's web server on 127.0.0.1 serving version
// files: a newer version is offered, the same one is not, and whatever is
// malformed, oversized or hostile is no update. Over TLS the certificate
// must be one the client trusts.
#include "app/UpdateCheck.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/EngineTestSupport.h"
#include "foundation/OperationQueue.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "foundation/UserDefaults.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

TEST(UpdateCheckVersions, PaddingPlainReleasesAndNumericRuns) {
  struct Case {
    const char* remote;
    const char* local;
    int order;  // sign of CompareVersions(remote, local)
  };
  const Case cases[] = {
      {"1.2", "1.2.0", 0},     {"1.10", "1.9", 1},    {"2.0", "2.0b3", 1},     {"2.0b4", "2.0", -1},
      {"2.0b4", "2.0B3", 1},   {"1.0.1", "1.0", 1},   {"0.9.9", "1.0", -1},    {"01.2", "1.2", 0},
      {"2.0a10", "2.0a9", 1},  {"3", "2.99.99", 1},   {"1.2.0", "1.2", 0},
  };
  for (const Case& c : cases) {
    const int order = CompareVersions(c.remote, c.local);
    EXPECT_EQ((order > 0) - (order < 0), c.order) << c.remote << " vs " << c.local;
  }
}

TEST(UpdateCheckVersions, TheQueryIsEscapedAndAppended) {
  const UpdateCheckSystemInfo info{"1.2.0", "Think Box 7", "13"};
  EXPECT_EQ(UpdateRequestURL("http://updates.test/version.plist", info),
            "http://updates.test/version.plist?version=1.2.0&model=Think%20Box%207&os=13");
  EXPECT_EQ(UpdateRequestURL("https://u:p@updates.test/v?channel=beta", info),
            "https://updates.test/v?channel=beta&version=1.2.0&model=Think%20Box%207&os=13")
      << "credentials are never shown";
  EXPECT_FALSE(UpdateRequestURL("ftp://updates.test/version.plist", info));
  EXPECT_FALSE(UpdateRequestURL("not a url", info));
}

// Python's web server on a folder, optionally over TLS; its request log is
// kept in a file.
class VersionServer {
 public:
  VersionServer(const std::string& folder, const std::string& certificate = "", const std::string& key = "")
      : port_(FreeLoopbackPort()), log_(folder + ".log") {
    const std::string script = folder + ".py";
    WriteFile(script,
              "import http.server, ssl, sys\n"
              "port, folder = int(sys.argv[1]), sys.argv[2]\n"
              "class Handler(http.server.SimpleHTTPRequestHandler):\n"
              "    def __init__(self, *a, **k): super().__init__(*a, directory=folder, **k)\n"
              "server = http.server.ThreadingHTTPServer(('127.0.0.1', port), Handler)\n"
              "if len(sys.argv) > 3:\n"
              "    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
              "    context.load_cert_chain(sys.argv[3], sys.argv[4])\n"
              "    server.socket = context.wrap_socket(server.socket, server_side=True)\n"
              "server.serve_forever()\n");
    pid_ = fork();
    if (pid_ == 0) {
      freopen(log_.c_str(), "w", stderr);
      const std::string python = Python();
      const std::string port = std::to_string(port_);
      if (certificate.empty()) {
        execlp(python.c_str(), python.c_str(), script.c_str(), port.c_str(), folder.c_str(), nullptr);
      } else {
        execlp(python.c_str(), python.c_str(), script.c_str(), port.c_str(), folder.c_str(), certificate.c_str(),
               key.c_str(), nullptr);
      }
      _exit(127);
    }
    for (int attempt = 0; attempt < 100 && !LoopbackPortAccepts(port_); ++attempt) usleep(50000);
  }
  ~VersionServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return LoopbackPortAccepts(port_); }
  std::string url(const std::string& scheme, const std::string& path) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string log() const { return ReadTextFile(log_); }

 private:
  int port_;
  std::string log_;
  pid_t pid_ = -1;
};

Data XmlPlist(const Value& value) { return PropertyList::writeXml(value).value(); }

Dictionary VersionFile(Value version, Value downloadURL) {
  Dictionary file;
  file.set("version", std::move(version));
  file.set("downloadURL", std::move(downloadURL));
  return file;
}

class UpdateCheckServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(RunShell("command -v " + Python() + " >/dev/null"), 0); }

  UpdateCheckServer() {
    std::filesystem::create_directories(folder_);
    // Every kind of answer, one file each.
    WriteFile(folder_ + "/newer.plist", XmlPlist(VersionFile("1.10", "https://example.org/download")));
    WriteFile(folder_ + "/newer-binary.plist",
              PropertyList::writeBinary(VersionFile("2.0", "http://example.org/get?x=1")).value());
    WriteFile(folder_ + "/same.plist", XmlPlist(VersionFile("1.9.0", "https://example.org/download")));
    WriteFile(folder_ + "/older.plist", XmlPlist(VersionFile("1.9b2", "https://example.org/download")));
    WriteFile(folder_ + "/malformed.plist", "<plist><dict><key>version</key><string>9.0</string>");
    WriteFile(folder_ + "/html.plist", "<html><body>Moved</body></html>");
    WriteFile(folder_ + "/number.plist", XmlPlist(VersionFile(10, "https://example.org/download")));
    WriteFile(folder_ + "/array.plist", XmlPlist(Array{Value("9.0"), Value("https://example.org/")}));
    Dictionary noURL;
    noURL.set("version", "9.0");
    WriteFile(folder_ + "/no-url.plist", XmlPlist(noURL));
    WriteFile(folder_ + "/file-url.plist", XmlPlist(VersionFile("9.0", "file:///etc/passwd")));
    WriteFile(folder_ + "/long-version.plist",
              XmlPlist(VersionFile(std::string(100, '9'), "https://example.org/download")));
    Dictionary huge = VersionFile("9.0", "https://example.org/download");
    huge.set("padding", std::string(kMaximumVersionFileSize, 'p'));
    WriteFile(folder_ + "/huge.plist", XmlPlist(huge));
  }

  TempDir root_;
  const std::string folder_ = root_ / "site";
  const UpdateCheckSystemInfo info_{"1.9", "Test Box", "13"};
};

TEST_F(UpdateCheckServer, OnlyANewerVersionIsOffered) {
  VersionServer server(folder_);
  ASSERT_TRUE(server.running());
  struct Case {
    const char* file;
    const char* offered;  // nullptr: no offer
    const char* logged;
  };
  const Case cases[] = {
      {"newer.plist", "https://example.org/download", "A new version '1.10' is available"},
      {"newer-binary.plist", "http://example.org/get?x=1", "A new version '2.0' is available"},
      {"same.plist", nullptr, "Version '1.9' is up-to-date"},
      {"older.plist", nullptr, "Version '1.9' is up-to-date"},
      {"malformed.plist", nullptr, "Failed parsing version info from"},
      {"html.plist", nullptr, "Failed parsing version info from"},
      {"number.plist", nullptr, "Failed parsing version info from"},
      {"array.plist", nullptr, "Failed parsing version info from"},
      {"no-url.plist", nullptr, "Failed parsing version info from"},
      {"file-url.plist", nullptr, "Failed parsing version info from"},
      {"long-version.plist", nullptr, "Failed parsing version info from"},
      {"huge.plist", nullptr, "Failed downloading version info from"},
      {"missing.plist", nullptr, "Failed downloading version info from"},
  };
  for (const Case& c : cases) {
    SystemLogCapture log;
    std::optional<Url> offered = CheckForNewVersion(server.url("http", std::string("/") + c.file), info_);
    EXPECT_EQ(offered ? offered->absoluteString() : std::string("none"), c.offered ? c.offered : "none") << c.file;
    EXPECT_TRUE(log.contains(c.logged)) << c.file;
  }
  EXPECT_NE(server.log().find("GET /newer.plist?version=1.9&model=Test%20Box&os=13 "), std::string::npos)
      << server.log();
}

TEST_F(UpdateCheckServer, TheOfferReachesTheMainThreadWhenTheUserAllowsChecking) {
  VersionServer server(folder_);
  ASSERT_TRUE(server.running());
  UserDefaults defaults("");
  defaults.setObject(Value(server.url("http", "/newer-binary.plist")), kUpdateURLDefaultsKey);
  OperationQueue queue;
  std::optional<Url> offered;
  bool onMainThread = false;
  const auto remember = [&](const Url& url) {
    offered = url;
    onMainThread = RunLoop::isMainThread();
  };
  EXPECT_FALSE(ScheduleUpdateCheck(queue, defaults, remember)) << "checking is off unless the user allowed it";
  defaults.setBool(true, kCheckForUpdateOnLaunchDefaultsKey);
  ASSERT_TRUE(ScheduleUpdateCheck(queue, defaults, remember));
  ASSERT_TRUE(RunMainLoopUntil([&] { return offered.has_value(); }));
  EXPECT_EQ(offered->absoluteString(), "http://example.org/get?x=1");
  EXPECT_TRUE(onMainThread);
  queue.waitUntilAllOperationsAreDone();
}

TEST_F(UpdateCheckServer, OverTLSTheCertificateMustBeTrusted) {
  const std::string certificate = root_ / "server.pem";
  const std::string key = root_ / "server.key";
  ASSERT_EQ(RunShell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                     "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + certificate +
                     "' 2>/dev/null"),
            0);
  VersionServer server(folder_, certificate, key);
  ASSERT_TRUE(server.running());
  SystemLogCapture log;
  EXPECT_FALSE(CheckForNewVersion(server.url("https", "/newer.plist"), info_)) << "a certificate nobody vouches for";
  EXPECT_TRUE(log.contains("Failed downloading version info from"));
  std::optional<Url> offered = CheckForNewVersion(server.url("https", "/newer.plist?ca-file=" + certificate), info_);
  ASSERT_TRUE(offered);
  EXPECT_EQ(offered->absoluteString(), "https://example.org/download");
}

TEST(UpdateCheckOffer, TheDownloadPageOpensWithTheDesktopOpener) {
  TempDir bin;
  const std::string opened = bin / "opened";
  WriteFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened + ".part' && mv '" + opened + ".part' '" +
                                  opened + "'\n");
  chmod((bin / "xdg-open").c_str(), 0755);
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
  const bool launched = OpenURLWithDesktopOpener(*Url::URLWithString("https://example.org/get?version=2.0"));
  setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(launched);
  ASSERT_TRUE(RunMainLoopUntil([&] { return std::filesystem::exists(opened); }));
  EXPECT_EQ(ReadTextFile(opened), "https://example.org/get?version=2.0");
}

}  // namespace
}  // namespace quorvel
