// The keychain behaviour against a real Secret Service: gnome-keyring-daemon
// on a private session bus.
//
// The test never touches the user's own keyring. Started normally, the
// binary runs itself again under dbus-run-session with a fresh keyring
// folder, an unlocked login keyring and only the secrets component, and
// passes on the exit status. Without dbus-run-session or
// gnome-keyring-daemon the tests are skipped with the reason.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Keychain.h"
#include "foundation/KeychainBehaviour.h"
#include "support/TestSupport.h"

extern char** environ;

namespace quorvel {
namespace {

constexpr char kSessionVariable[] = "QUORVEL_TEST_SECRET_SERVICE_SESSION";
constexpr char kSkipVariable[] = "QUORVEL_TEST_SECRET_SERVICE_UNAVAILABLE";

struct SecretServiceMaker {
  static std::unique_ptr<KeychainStore> make(std::string* skipReason) {
    if (const char* why = std::getenv(kSkipVariable)) {
      *skipReason = why;
      return nullptr;
    }
    if (!std::getenv(kSessionVariable)) {
      *skipReason = "not running inside the private session bus";
      return nullptr;
    }
    return CreateSecretServiceKeychainStore(skipReason);
  }
};

}  // namespace

namespace test {
INSTANTIATE_TYPED_TEST_SUITE_P(SecretService, KeychainBehaviour, SecretServiceMaker);
}

namespace {

TEST(KeychainSecretService, TheSharedInstanceChoosesTheSecretServiceWhenTheBusOffersOne) {
  if (const char* why = std::getenv(kSkipVariable)) GTEST_SKIP() << why;
  if (!std::getenv(kSessionVariable)) GTEST_SKIP() << "not running inside the private session bus";
  unsetenv("QUORVEL_KEYCHAIN");
  Keychain& shared = Keychain::sharedKeychain();
  EXPECT_EQ(shared.store().name(), "Secret Service");
  ASSERT_TRUE(shared.addGenericPassword("shared-pw", "Quorvel shared instance", "someone"));
  EXPECT_EQ(shared.genericPasswordForService("Quorvel shared instance", "someone"), "shared-pw");
  EXPECT_TRUE(shared.removeGenericPasswordForService("Quorvel shared instance", "someone"));
}

TEST(KeychainSecretService, ItemsAreVisibleToOtherClientsOfTheService) {
  // Another process on the same bus (a second store connection in a fresh
  // process would do the same): the item exists in the service itself, not
  // in our process.
  if (const char* why = std::getenv(kSkipVariable)) GTEST_SKIP() << why;
  if (!std::getenv(kSessionVariable)) GTEST_SKIP() << "not running inside the private session bus";
  if (!test::HaveProgram("gdbus")) GTEST_SKIP() << "gdbus is not installed";
  std::string reason;
  auto store = CreateSecretServiceKeychainStore(&reason);
  ASSERT_TRUE(store) << reason;
  Keychain keychain(std::move(store));
  ASSERT_TRUE(keychain.addGenericPassword("visible", "Quorvel visible item", "acct"));
  std::string output;
  ASSERT_EQ(test::RunShell("gdbus call --session --dest org.freedesktop.secrets --object-path "
                           "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.SearchItems "
                           "\"{'xdg:schema': 'org.quorvel.Varid.GenericPassword', 'service': 'Quorvel visible item', "
                           "'account': 'acct'}\"",
                           &output),
            0);
  EXPECT_NE(output.find("/org/freedesktop/secrets/collection/"), std::string::npos) << output;
  EXPECT_TRUE(keychain.removeGenericPasswordForService("Quorvel visible item", "acct"));
  ASSERT_EQ(test::RunShell("gdbus call --session --dest org.freedesktop.secrets --object-path "
                           "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.SearchItems "
                           "\"{'xdg:schema': 'org.quorvel.Varid.GenericPassword', 'service': 'Quorvel visible item'}\"",
                           &output),
            0);
  EXPECT_EQ(output.find("/org/freedesktop/secrets/collection/"), std::string::npos) << output;
}

bool IsListingOnly(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) return true;
  return false;
}

// Runs this binary again inside a private session bus with a fresh, unlocked
// keyring; answers its exit status, or -1 when that is not possible here
// (with the reason).
int RunInsidePrivateSession(int argc, char** argv, std::string* reason) {
  if (!test::HaveProgram("dbus-run-session") || !test::HaveProgram("gnome-keyring-daemon")) {
    *reason = "dbus-run-session or gnome-keyring-daemon is not installed";
    return -1;
  }
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    *reason = "cannot find this test binary";
    return -1;
  }
  self[length] = '\0';
  test::TempDir home;
  // The keyring daemon forks into the background and ends with the bus.
  const std::string script =
      "set -e; export HOME=\"$0/home\" XDG_DATA_HOME=\"$0/data\" XDG_RUNTIME_DIR=\"$0/run\" "
      "XDG_CONFIG_HOME=\"$0/config\" XDG_CACHE_HOME=\"$0/cache\"; "
      "mkdir -p \"$HOME\" \"$XDG_DATA_HOME\" \"$XDG_CONFIG_HOME\" \"$XDG_CACHE_HOME\"; "
      "mkdir -m 700 \"$XDG_RUNTIME_DIR\"; "
      "eval \"$(printf 'test\\n' | gnome-keyring-daemon --unlock --components=secrets)\" || "
      "export " + std::string(kSkipVariable) + "='gnome-keyring-daemon did not start'; "
      // The unlocked login keyring becomes the default collection, so that
      // no test, whichever runs first, makes the service create one (which
      // asks a prompter for its password, and there is no display).
      // The daemon makes the login keyring in the background: wait for it.
      "aliased=; for i in $(seq 100); do "
      "gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
      "--method org.freedesktop.Secret.Service.SetAlias default /org/freedesktop/secrets/collection/login "
      ">/dev/null 2>&1 && aliased=1 && break; sleep 0.1; done; "
      "[ -n \"$aliased\" ] || export " + std::string(kSkipVariable) +
      "='the login keyring could not be made the default'; "
      "export " + std::string(kSessionVariable) + "=1; set +e; \"$@\"; status=$?; "
      // A keyring daemon started by bus activation can outlive the bus and keep
      // the test runner's output pipe open: end the ones of this private home.
      "for p in $(pgrep -f gnome-keyring-daemon); do "
      "grep -qz \"HOME=$0/home\" /proc/$p/environ 2>/dev/null && kill $p; done; exit $status";
  std::vector<std::string> arguments = {"dbus-run-session", "--", "/bin/sh", "-c", script, home.path(), self};
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  std::vector<char*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "dbus-run-session", nullptr, nullptr, pointers.data(), environ) != 0) {
    *reason = "cannot start dbus-run-session";
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 1;
  if (!WIFEXITED(status)) return 1;
  return WEXITSTATUS(status);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  if (!std::getenv(quorvel::kSessionVariable) && !std::getenv(quorvel::kSkipVariable) &&
      !quorvel::IsListingOnly(argc, argv)) {
    std::string reason;
    int status = quorvel::RunInsidePrivateSession(argc, argv, &reason);
    if (status >= 0) return status;
    setenv(quorvel::kSkipVariable, reason.c_str(), 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
