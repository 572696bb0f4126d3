#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

std::string QuorvelBinary() { return std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel"; }

TEST(CommandLine, VersionAndHelpSucceedAndUnknownCommandsFail) {
  std::string output;
  ASSERT_EQ(test::RunShell(QuorvelBinary() + " --version", &output), 0);
  EXPECT_NE(output.find("Quorvel Varid " QUORVEL_VERSION), std::string::npos);
  ASSERT_EQ(test::RunShell(QuorvelBinary() + " help", &output), 0);
  EXPECT_NE(output.find("Usage:"), std::string::npos);
  EXPECT_EQ(test::RunShell(QuorvelBinary() + " no-such-command 2>/dev/null"), 2);
}

}  // namespace
}  // namespace quorvel
