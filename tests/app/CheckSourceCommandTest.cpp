// `quorvel check-source` run as a separate process on a generated tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "app/cli/CheckSourceCommand.h"
#include "support/TestSupport.h"

extern char** environ;

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

std::string QuorvelBinary() { return std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel"; }

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// A small tree built once for the whole file.
class CheckSourceCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree = new TempDir();
    std::string root = tree->path();
    ::mkdir((root + "/docs").c_str(), 0755);
    ::mkdir((root + "/docs/old").c_str(), 0755);
    ::mkdir((root + "/media").c_str(), 0755);
    WriteFile(root + "/readme.txt", std::string(120, 'r'));
    WriteFile(root + "/docs/a.txt", std::string(3000, 'a'));
    WriteFile(root + "/docs/b.txt", std::string(45, 'b'));
    WriteFile(root + "/docs/old/c.txt", std::string(999, 'c'));
    WriteFile(root + "/media/photo.jpg", std::string(70000, 'p'));
    WriteFile(root + "/media/empty", "");
    ::symlink("readme.txt", (root + "/link").c_str());
    ::mkfifo((root + "/pipe").c_str(), 0644);
  }
  static void TearDownTestSuite() {
    delete tree;
    tree = nullptr;
  }
  static TempDir* tree;
};
TempDir* CheckSourceCommandTest::tree = nullptr;

// The number in parentheses of a "... (N bytes)" line, or the plain number
// after the label.
std::map<std::string, unsigned long long> ParseReport(const std::string& text) {
  std::map<std::string, unsigned long long> numbers;
  std::istringstream lines(text);
  std::string line;
  // "Label:   72.4 KB (74174 bytes)", "Label:   10 bytes", "Label:   7"
  std::regex bytesLine(R"(^([A-Za-z ]+):\s+.*\((\d+) bytes\)$)");
  std::regex countLine(R"(^([A-Za-z ]+):\s+(\d+)(?: bytes?)?$)");
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, match, bytesLine) || std::regex_match(line, match, countLine)) {
      numbers[match[1]] = std::stoull(match[2]);
    }
  }
  return numbers;
}

TEST_F(CheckSourceCommandTest, TextReportShowsTheSameNumbersAsTheJsonResults) {
  std::string json;
  ASSERT_EQ(test::RunShell(QuorvelBinary() + " check-source " + Quoted(tree->path()) + " --json", &json), 0);
  nlohmann::json results = nlohmann::json::parse(json);
  EXPECT_EQ(results["success"], true);
  EXPECT_EQ(results["sourceFiles"], 7);  // six files and the link
  EXPECT_EQ(results["sourceDirectories"], 3);
  EXPECT_EQ(results["sourceSize"], 120 + 3000 + 45 + 999 + 70000 + 0 + 10);
  EXPECT_EQ(results["skippedPaths"], nlohmann::json::array({"pipe"}));
  EXPECT_TRUE(results["startDate"].is_string());

  std::string text;
  ASSERT_EQ(test::RunShell(QuorvelBinary() + " check-source " + Quoted(tree->path()), &text), 0);
  auto numbers = ParseReport(text);
  EXPECT_EQ(numbers["Files"], results["sourceFiles"].get<unsigned long long>());
  EXPECT_EQ(numbers["Directories"], results["sourceDirectories"].get<unsigned long long>());
  EXPECT_EQ(numbers["Total size"], results["sourceSize"].get<unsigned long long>());
  EXPECT_EQ(numbers["Smallest file"], results["minFileSize"].get<unsigned long long>());
  EXPECT_EQ(numbers["Median file size"], results["medianFileSize"].get<unsigned long long>());
  EXPECT_EQ(numbers["Top quartile file size"], results["topQuartileFileSize"].get<unsigned long long>());
  EXPECT_EQ(numbers["Top decile file size"], results["topDecileFileSize"].get<unsigned long long>());
  EXPECT_EQ(numbers["Largest file"], results["maxFileSize"].get<unsigned long long>());
  EXPECT_NE(text.find("Skipped paths: (1)\n  pipe\n"), std::string::npos) << text;
  EXPECT_NE(text.find("72.4 KB (74174 bytes)"), std::string::npos) << text;
}

TEST_F(CheckSourceCommandTest, JsonOutputIsValidForAnIndependentParser) {
  std::string command = QuorvelBinary() + " check-source " + Quoted(tree->path()) +
                        " --exclude DOCS/old --json | " + test::Python() + " -m json.tool";
  std::string output;
  ASSERT_EQ(test::RunShell(command, &output), 0);
  nlohmann::json results = nlohmann::json::parse(output);
  EXPECT_EQ(results["excludedPaths"], nlohmann::json::array({"docs/old"}));
  EXPECT_EQ(results["sourceDirectories"], 2);
  EXPECT_EQ(results["sourceFiles"], 6);
}

TEST_F(CheckSourceCommandTest, MissingSourceFailsWithTheMessageOnStandardError) {
  std::string output;
  std::string missing = tree->path() + "/nothing-here";
  EXPECT_EQ(test::RunShell(QuorvelBinary() + " check-source " + Quoted(missing) + " 2>&1 >/dev/null", &output), 1);
  EXPECT_EQ(output, "Source directory \"" + missing + "\" is not accessible\n");
}

TEST_F(CheckSourceCommandTest, BadArgumentsAreUsageErrors) {
  EXPECT_EQ(test::RunShell(QuorvelBinary() + " check-source 2>/dev/null"), 2);
  EXPECT_EQ(test::RunShell(QuorvelBinary() + " check-source /tmp --no-such-flag 2>/dev/null"), 2);
}

TEST_F(CheckSourceCommandTest, InterruptCancelsAndExitsWith130AfterTheFrame) {
  TempDir work;
  std::string marker = work / "started";
  std::string post = work / "post-failure-ran";
  WriteFile(work / "pre", "#!/bin/sh\ntouch '" + marker + "'\nexec sleep 30\n");
  WriteFile(work / "post", "#!/bin/sh\ntouch '" + post + "'\n");
  ::chmod((work / "pre").c_str(), 0755);
  ::chmod((work / "post").c_str(), 0755);

  std::string binary = QuorvelBinary();
  std::string source = tree->path();
  std::string pre = work / "pre";
  std::string postPath = work / "post";
  std::vector<std::string> arguments = {binary, "check-source", source, "--pre", pre, "--post-failure", postPath};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv.data(), environ), 0);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (::access(marker.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(::access(marker.c_str(), F_OK), 0);
  auto interrupted = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_LT(seconds, 5.0);
  // A failed pre-executable suppresses the post-executables.
  EXPECT_NE(::access(post.c_str(), F_OK), 0);
}

TEST(HumanReadableSize, UsesBinaryMultiples) {
  EXPECT_EQ(HumanReadableSize(0), "0 bytes");
  EXPECT_EQ(HumanReadableSize(1), "1 byte");
  EXPECT_EQ(HumanReadableSize(1023), "1023 bytes");
  EXPECT_EQ(HumanReadableSize(1536), "1.5 KB");
  EXPECT_EQ(HumanReadableSize(5u << 20), "5.0 MB");
  EXPECT_EQ(HumanReadableSize(3ull << 30), "3.0 GB");
}

}  // namespace
}  // namespace quorvel
