// The HTTP machinery against a small scripted server on 127.0.0.1 (one
// thread, answers chosen per request): a silent server runs into the
// time-out, an abort ends a request within a second, a redirected HEAD sends
// the PUT to the new place with the file's MIME type, connections are kept
// for the next request, a 404 DELETE counts as done.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "FileTransferController/TransferTestSupport.h"
#include "FileTransferController/WebDAVTransferController.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

// Answers each request with what `answer` gives for it ("" = stay silent).
// Requests (head and body) are recorded in order.
class ScriptedServer {
 public:
  using Answer = std::function<std::string(const std::string& method, const std::string& path)>;

  explicit ScriptedServer(Answer answer, const char* host = "127.0.0.1") : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, host, &address.sin_addr);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    thread_.join();
    close(listener_);
  }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  int connections() const { return connections_; }

  int port = 0;

 private:
  // Waits up to 100 ms for the descriptor to become readable.
  static bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 100) > 0;
  }

  void serve() {
    std::vector<int> clients;
    while (!stopping_) {
      if (Readable(listener_)) {
        clients.push_back(accept(listener_, nullptr, nullptr));
        ++connections_;
      }
      for (int& client : clients) {
        if (client < 0 || !Readable(client)) continue;
        char buffer[65536];
        long count = read(client, buffer, sizeof buffer);
        if (count <= 0) {
          close(client);
          client = -1;
          continue;
        }
        pending_[client].append(buffer, static_cast<std::size_t>(count));
        answerComplete(client);
      }
    }
    for (int client : clients) {
      if (client >= 0) close(client);
    }
  }

  // Answers every complete request received on the connection.
  void answerComplete(int client) {
    std::string& text = pending_[client];
    for (;;) {
      std::size_t end = text.find("\r\n\r\n");
      if (end == std::string::npos) return;
      std::string head = text.substr(0, end + 4);
      std::size_t length = 0;
      std::size_t field = head.find("Content-Length: ");
      if (field != std::string::npos) length = std::stoul(head.substr(field + 16));
      if (head.find("Expect: 100-continue") != std::string::npos && text.size() == head.size() && length > 0) {
        const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        send(client, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
      }
      if (text.size() < head.size() + length) return;
      std::string request = text.substr(0, head.size() + length);
      text.erase(0, request.size());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      std::size_t space = head.find(' ');
      std::string method = head.substr(0, space);
      std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
      std::string response = answer_(method, path);
      // A client that went away fails the send (no SIGPIPE).
      if (!response.empty()) send(client, response.data(), response.size(), MSG_NOSIGNAL);
    }
  }

  Answer answer_;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::map<int, std::string> pending_;
};

std::string Status(int code, const std::string& extraHeaders = "", const std::string& body = "") {
  return "HTTP/1.1 " + std::to_string(code) + " X\r\n" + extraHeaders + "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::shared_ptr<WebDAVTransferController> Controller(int port, const std::string& path,
                                                     const std::string& host = "127.0.0.1") {
  return WebDAVTransferController::initWithBaseURL(
      *Url::URLWithString("http://" + host + ":" + std::to_string(port) + path));
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HTTPTransferControllerTest, ASilentServerRunsIntoTheTimeOut) {
  // Answers the HEAD before an upload, then nothing.
  ScriptedServer server([](const std::string& method, const std::string&) {
    return method == "HEAD" ? Status(404) : std::string();
  });
  auto client = Controller(server.port, "/dav");
  RecordingDelegate delegate;
  client->setDelegate(&delegate);
  client->setTimeOut(2);
  const Data payload(100000, 'x');
  struct Case {
    const char* name;
    std::function<bool()> operation;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"listing", [&] { return client->contentsOfDirectoryAtPath("").has_value(); },
       "Timeout while reading from stream"},
      {"download", [&] { return client->downloadFileFromPathToData("a", 100).has_value(); },
       "Timeout while reading from stream"},
      {"upload", [&] { return client->uploadFileFromData(payload, "a"); }, "Timeout while writing to stream"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(test.operation());
    EXPECT_GE(SecondsSince(started), 1.9);
    // Ended by the time-out, not hanging: an upload first fills the socket's
    // buffers, which under a sanitizer on a loaded machine takes a while.
    EXPECT_LT(SecondsSince(started), 6.0);
    EXPECT_EQ(delegate.lastErrorText(), test.message);
  }
}

TEST(HTTPTransferControllerTest, AnAbortEndsARequestWithinASecond) {
  ScriptedServer server([](const std::string&, const std::string&) { return std::string(); });
  auto client = Controller(server.port, "/dav");
  RecordingDelegate delegate;
  auto started = std::chrono::steady_clock::now();
  delegate.shouldAbort = [&](FileTransferController&) { return SecondsSince(started) > 1.0; };
  client->setDelegate(&delegate);
  client->setTimeOut(0);
  EXPECT_FALSE(client->downloadFileFromPathToData("x", 100));
  EXPECT_LT(SecondsSince(started), 2.2);
  EXPECT_EQ(delegate.failures, 0) << "an abort is not a failure";
}

// Under a speed limit the chunks are small enough that the pauses between
// them do not hold up an abort.
TEST(HTTPTransferControllerTest, AnAbortEndsASpeedLimitedDownloadWithinASecond) {
  const std::string body(3000000, 'z');
  ScriptedServer server([&](const std::string&, const std::string&) { return Status(200, "", body); }, "127.0.0.2");
  auto client = Controller(server.port, "/dav", "127.0.0.2");
  if (client->isLocalHost()) GTEST_SKIP() << "127.0.0.2 counts as this machine here: no speed limit applies";
  client->setMaximumDownloadSpeed(50000);
  RecordingDelegate delegate;
  auto started = std::chrono::steady_clock::now();
  delegate.shouldAbort = [&](FileTransferController&) { return SecondsSince(started) > 1.5; };
  client->setDelegate(&delegate);
  EXPECT_FALSE(client->downloadFileFromPathToNull("x"));
  EXPECT_LT(SecondsSince(started), 2.7);
  EXPECT_GT(delegate.lastProgress, 50000u);
  EXPECT_LT(delegate.lastProgress, 200000u) << "the limit held";
}

TEST(HTTPTransferControllerTest, ARedirectedHeadSendsThePutToTheNewPlace) {
  ScriptedServer server([](const std::string& method, const std::string& path) {
    if (method == "HEAD" && path == "/dav/notes.txt") return Status(301, "Location: /elsewhere/notes.txt\r\n");
    if (method == "HEAD") return Status(404);
    if (method == "PUT") return Status(201);
    if (method == "DELETE") return Status(404);
    return Status(500);
  });
  auto client = Controller(server.port, "/dav");
  RecordingDelegate delegate;
  client->setDelegate(&delegate);
  ASSERT_TRUE(client->uploadFileFromData(Data{'h', 'i'}, "notes.txt")) << delegate.lastErrorText();
  ASSERT_TRUE(client->uploadFileFromData(Data{1, 2, 3}, "Revision_0001.data")) << delegate.lastErrorText();
  EXPECT_TRUE(client->deleteFileAtPath("gone")) << delegate.lastErrorText();
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[2].rfind("PUT /elsewhere/notes.txt HTTP/1.1\r\n", 0), 0u) << requests[2];
  EXPECT_NE(requests[2].find("Content-Type: text/plain\r\n"), std::string::npos) << requests[2];
  EXPECT_NE(requests[2].find("User-Agent: WebDAVTransferController\r\n"), std::string::npos) << requests[2];
  EXPECT_EQ(requests[2].substr(requests[2].size() - 2), "hi");
  EXPECT_EQ(requests[4].rfind("PUT /dav/Revision_0001.data HTTP/1.1\r\n", 0), 0u) << requests[4];
  EXPECT_NE(requests[4].find("Content-Type: application/octet-stream\r\n"), std::string::npos) << requests[4];
  EXPECT_EQ(server.connections(), 1) << "the connection is kept for the next requests";
}

TEST(HTTPTransferControllerTest, AnswersAreJudgedByTheRequestKind) {
  std::atomic<long> status{0};
  ScriptedServer server([&](const std::string&, const std::string&) { return Status(static_cast<int>(status.load())); });
  auto client = Controller(server.port, "/dav");
  RecordingDelegate delegate;
  client->setDelegate(&delegate);
  struct Case {
    long status;
    std::function<bool()> operation;
    bool succeeds;
  };
  const std::vector<Case> cases = {
      {201, [&] { return client->createDirectoryAtPath("a"); }, true},
      {405, [&] { return client->createDirectoryAtPath("a"); }, false},
      {204, [&] { return client->movePath("a", "b"); }, true},
      {201, [&] { return client->copyPath("a", "b"); }, true},
      {412, [&] { return client->copyPath("a", "b"); }, false},
      {204, [&] { return client->deleteDirectoryRecursivelyAtPath("a"); }, true},
      {404, [&] { return client->deleteFileAtPath("a"); }, true},
      {403, [&] { return client->deleteFileAtPath("a"); }, false},
      {200, [&] { return client->contentsOfDirectoryAtPath("").has_value(); }, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.status);
    status = test.status;
    delegate.errors.clear();
    EXPECT_EQ(test.operation(), test.succeeds) << delegate.lastErrorText();
    if (!test.succeeds) {
      ASSERT_EQ(delegate.errors.size(), 1u);
      EXPECT_EQ(delegate.errors[0].domain(), kHTTPErrorDomain);
      EXPECT_EQ(delegate.errors[0].code(), test.status);
      EXPECT_EQ(delegate.lastErrorText(), "Unsupported HTTP response");
    }
  }
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), cases.size());
  EXPECT_EQ(requests[0].rfind("MKCOL /dav/a/ HTTP/1.1", 0), 0u) << requests[0];
  EXPECT_NE(requests[2].find("Destination: http://127.0.0.1:" + std::to_string(server.port) + "/dav/b\r\n"),
            std::string::npos)
      << requests[2];
  EXPECT_NE(requests[2].find("Overwrite: T\r\n"), std::string::npos) << requests[2];
  EXPECT_EQ(requests[5].rfind("DELETE /dav/a/ HTTP/1.1", 0), 0u) << requests[5];
  EXPECT_EQ(requests[8].rfind("PROPFIND /dav/ HTTP/1.1", 0), 0u) << requests[8];
  EXPECT_NE(requests[8].find("Depth: 1\r\n"), std::string::npos) << requests[8];
}

}  // namespace
}  // namespace quorvel
