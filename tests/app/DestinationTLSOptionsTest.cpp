// --ca-file and --insecure-tls: parsed for every destination command and
// carried in the destination URL's query, where the FTPS client reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/CommandLine.h"
#include "app/cli/DestinationCommand.h"
#include "engine/BackupController.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

std::optional<DestinationCommandOptions> Parse(int command, std::vector<std::string> arguments, int* status) {
  arguments.insert(arguments.begin(), CommandWord(command));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  return ParseDestinationCommand(command, static_cast<int>(argv.size()), argv.data(), status);
}

TEST(DestinationTLSOptions, TheOptionsTravelInTheDestinationQuery) {
  test::TempDir scratch;
  test::WriteFile(scratch / "ca.pem", "certificates");
  const std::string ca = scratch / "ca.pem";
  struct Case {
    const char* destination;
    std::vector<std::string> options;
    std::optional<std::string> expected;  // nothing: refused
    const char* error = "";
  };
  const Case cases[] = {
      {"ftps://u:pw@h:2121/b", {}, "ftps://u:pw@h:2121/b"},
      {"ftps://u:pw@h:2121/b", {"--ca-file", ca}, "ftps://u:pw@h:2121/b?ca-file=" + ca},
      {"ftps://u@h/b?implicit-tls=1&insecure-tls=1", {"--ca-file", ca}, "ftps://u@h/b?implicit-tls=1&ca-file=" + ca},
      {"ftps://u@h/b?ca-file=/old.pem", {"--insecure-tls"}, "ftps://u@h/b?insecure-tls=1"},
      {"ftps://u@h/b?implicit-tls=1", {}, "ftps://u@h/b?implicit-tls=1"},
      {"ftp://u@h/b", {"--insecure-tls"}, std::nullopt, "--ca-file and --insecure-tls are for destinations over TLS"},
      {"ftps://u@h/b", {"--ca-file", scratch / "missing.pem"}, std::nullopt, "cannot read the CA file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.destination);
    std::vector<std::string> arguments{c.destination};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    int status = -1;
    std::optional<DestinationCommandOptions> options = Parse(BackupCommandCheckDestination, arguments, &status);
    ASSERT_TRUE(options) << status;
    Url given = *DestinationURLFromArgument(c.destination);
    std::string error;
    std::optional<Url> url = DestinationWithTLSOptions(*options, given, given, &error);
    if (!c.expected) {
      EXPECT_FALSE(url);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(url) << error;
    EXPECT_EQ(url->absoluteString(), *c.expected);
  }
  // The two contradict each other.
  int status = -1;
  EXPECT_FALSE(Parse(BackupCommandVerifyBackup, {"ftps://u@h/b", "--insecure-tls", "--ca-file", ca}, &status));
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace quorvel
