// Reachability in a network namespace of the test's own, where only the
// loopback interface exists: started normally, the binary runs itself
// again under `unshare -n` (root) and passes on the exit status.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/RunLoop.h"
#include "model/platform/NetworkReachability.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

constexpr char kNamespaceVariable[] = "QUORVEL_TEST_OWN_NETWORK";

struct Recorder : NetworkReachabilityDelegate {
  void networkReachabilityDidUpdate(NetworkReachability& reachability) override {
    answers.push_back(reachability.isReachable());
  }
  std::vector<bool> answers;
};

// Runs the main loop until `count` answers came or five seconds passed.
void RunUntil(const Recorder& recorder, std::size_t count) {
  for (int i = 0; i < 50 && recorder.answers.size() < count; ++i) {
    RunLoop::main().runMode(kDefaultRunLoopMode, 0.1);
  }
}

TEST(NetworkReachability, TheDelegateHearsWhenARouteComesAndGoes) {
  if (!std::getenv(kNamespaceVariable)) GTEST_SKIP() << "needs a network namespace of its own (unshare -n, root)";
  auto loopback = NetworkReachability::initWithHostName("127.0.0.1");
  auto nowhere = NetworkReachability::initWithHostName("host.invalid");
  auto general = NetworkReachability::initWithIPv4Address(0);
  ASSERT_TRUE(loopback && nowhere && general);
  EXPECT_FALSE(NetworkReachability::initWithHostName(""));
  EXPECT_FALSE(loopback->isReachable()) << "the loopback interface starts down";
  EXPECT_FALSE(nowhere->isReachable());
  EXPECT_FALSE(general->isReachable());

  Recorder recorder;
  loopback->setDelegate(&recorder);
  ASSERT_EQ(test::RunShell("ip link set lo up"), 0);
  RunUntil(recorder, 1);
  EXPECT_EQ(recorder.answers, std::vector<bool>{true});
  EXPECT_FALSE(general->isReachable()) << "loopback is no way out";
  // The address goes, and its route with it.
  ASSERT_EQ(test::RunShell("ip addr del 127.0.0.1/8 dev lo"), 0);
  RunUntil(recorder, 2);
  EXPECT_EQ(recorder.answers, (std::vector<bool>{true, false}));
  loopback->setDelegate(nullptr);
  ASSERT_EQ(test::RunShell("ip addr add 127.0.0.1/8 dev lo"), 0);
  for (int i = 0; i < 5; ++i) RunLoop::main().runMode(kDefaultRunLoopMode, 0.1);
  EXPECT_EQ(recorder.answers.size(), 2u) << "no delegate, no calls";

  // With a port, the route is not enough: the server must answer. A server
  // that starts announces nothing, so the watcher looks again by itself.
  const int port = test::FreeLoopbackPort();
  auto server = NetworkReachability::initWithHostName("localhost", static_cast<std::uint16_t>(port));
  Recorder serverRecorder;
  server->setDelegate(&serverRecorder);
  for (int i = 0; i < 10; ++i) RunLoop::main().runMode(kDefaultRunLoopMode, 0.1);  // the name resolves
  EXPECT_FALSE(server->isReachable()) << "nothing listens on " << port;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  for (int i = 0; i < 80 && serverRecorder.answers.empty(); ++i) RunLoop::main().runMode(kDefaultRunLoopMode, 0.1);
  EXPECT_EQ(serverRecorder.answers, std::vector<bool>{true}) << "within the recheck interval";
  server->setDelegate(nullptr);
  close(listener);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  const bool listing = argc > 1 && std::string(argv[1]).rfind("--gtest_list_tests", 0) == 0;
  if (!std::getenv(quorvel::kNamespaceVariable) && !listing && geteuid() == 0 &&
      quorvel::test::RunShell("unshare -n true 2>/dev/null && command -v ip >/dev/null") == 0) {
    setenv(quorvel::kNamespaceVariable, "1", 1);
    std::vector<char*> arguments = {const_cast<char*>("unshare"), const_cast<char*>("-n")};
    for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    execvp("unshare", arguments.data());
    unsetenv(quorvel::kNamespaceVariable);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
