// The Debian package, made by cpack from this build's executables as
// scripts/package makes it from the release build: what it holds, and that
// what it installs works where it is installed. The package is unpacked into
// a temporary root (dpkg-deb -x), so nothing is installed on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command with standard error joined to its output.
int RunJoined(const std::string& command, std::string* output) { return test::RunShell(command + " 2>&1", output); }

// Runs a program of the unpacked package as an installed one runs: without
// any variable that points into the source tree.
int RunInstalled(const std::string& command, std::string* output) {
  return RunJoined("env -u QUORVEL_RESOURCES_DIR -u QUORVEL_DITTO -u QUORVEL_MKBOM " + command, output);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The package's paths as dpkg-deb --contents lists them ("./usr/bin/quorvel").
std::vector<std::string> ListedPaths(const std::string& contents) {
  std::vector<std::string> paths;
  std::istringstream lines(contents);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t start = line.find(" ./");
    if (start == std::string::npos) continue;
    std::string path = line.substr(start + 1);
    if (const std::size_t arrow = path.find(" -> "); arrow != std::string::npos) path.resize(arrow);
    paths.push_back(path);
  }
  return paths;
}

// The package is made and unpacked once for all the cases (the test runs as
// one process: see tests/CMakeLists.txt).
class DebianPackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "desktop-file-validate", "man"}) {
      if (!test::HaveProgram(tool)) {
        failure_ = std::string(tool) + " is missing (scripts/setup test installs it)";
        return;
      }
    }
    work_ = new test::TempDir;
    std::string log;
    if (RunJoined("cd " + Quoted(QUORVEL_TEST_BINARY_DIR) + " && cpack -G DEB -B " + Quoted(*work_ / "cpack"), &log) != 0) {
      failure_ = "cpack failed:\n" + log;
      return;
    }
    for (const auto& entry : fs::directory_iterator(*work_ / "cpack")) {
      if (entry.path().extension() == ".deb") deb_ = entry.path().string();
    }
    if (deb_.empty()) {
      failure_ = "cpack wrote no package:\n" + log;
      return;
    }
    root_ = fs::canonical(work_->path()).string() + "/root";
    if (RunJoined("dpkg-deb -x " + Quoted(deb_) + " " + Quoted(root_), &log) != 0) failure_ = "dpkg-deb -x failed:\n" + log;
  }

  static void TearDownTestSuite() {
    delete work_;
    work_ = nullptr;
  }

  void SetUp() override { ASSERT_EQ(failure_, ""); }

  static std::string installed(const std::string& path) { return root_ + path; }
  // A fresh folder of this case's own.
  std::string scratch(const std::string& name) const { return case_ / name; }

  static inline test::TempDir* work_ = nullptr;
  static inline std::string failure_;
  static inline std::string deb_;
  static inline std::string root_;
  test::TempDir case_;
};

void ExpectControlFields(const std::string& deb) {
  std::string architecture, info;
  ASSERT_EQ(test::RunShell("dpkg --print-architecture", &architecture), 0);
  architecture.erase(architecture.find_last_not_of('\n') + 1);
  EXPECT_EQ(fs::path(deb).filename().string(), "quorvel_" QUORVEL_VERSION "_" + architecture + ".deb");
  ASSERT_EQ(RunJoined("dpkg-deb --info " + Quoted(deb), &info), 0) << info;
  const std::vector<std::string> fields = {"Package: quorvel\n", "Version: " QUORVEL_VERSION "\n",
                                           "Section: admin\n",  "Architecture: " + architecture + "\n",
                                           "Maintainer: ",       "Description: "};
  for (const std::string& field : fields) {
    EXPECT_TRUE(Contains(info, " " + field)) << field << "\n" << info;
  }
  // dpkg-shlibdeps found the libraries; the programs the executables run are added.
  const std::size_t depends = info.find(" Depends: ");
  ASSERT_NE(depends, std::string::npos) << info;
  const std::string line = info.substr(depends, info.find('\n', depends) - depends);
  for (const char* package : {"libc6", "libssl3", "libcurl4", "libarchive13", "libglib2.0-bin"})
    EXPECT_TRUE(Contains(line, package)) << package << " is not in" << line;
}

void ExpectContents(const std::string& deb) {
  std::string contents;
  ASSERT_EQ(RunJoined("dpkg-deb --contents " + Quoted(deb), &contents), 0) << contents;
  const std::vector<std::string> listed = ListedPaths(contents);
  std::vector<std::string> expected = {
      "./usr/bin/quorvel",
      "./usr/bin/quorvel-ditto",
      "./usr/bin/quorvel-mkbom",
      "./usr/share/applications/quorvel.desktop",
      "./usr/share/icons/hicolor/scalable/apps/quorvel.svg",
      "./usr/lib/systemd/user/quorvel.service",
      "./usr/share/dbus-1/services/org.quorvel.Varid.service",
      "./usr/share/man/man1/quorvel.1.gz",
  };
#ifdef QUORVEL_PACKAGE_HAS_GUI
  expected.push_back("./usr/bin/quorvel-gui");
#endif
  for (const auto& entry : fs::directory_iterator(std::string(QUORVEL_SOURCE_DIR) + "/resources"))
    expected.push_back("./usr/share/quorvel/" + entry.path().filename().string());
  for (const std::string& path : expected)
    EXPECT_NE(std::find(listed.begin(), listed.end(), path), listed.end()) << path << " is missing:\n" << contents;
}

TEST_F(DebianPackage, HoldsTheProgramItsResourcesMenuEntryIconSchedulerAndManual) {
  {
    SCOPED_TRACE("control fields");
    ExpectControlFields(deb_);
  }
  {
    SCOPED_TRACE("contents");
    ExpectContents(deb_);
  }
}

// The installed program reads PREFIX/share/quorvel: a configured backup of
// the home folder leaves out what the unpacked package's Exclusions.plist
// names, and only that, once the file names something else.
TEST_F(DebianPackage, TheInstalledProgramRunsWithTheResourcesInstalledWithIt) {
  const std::string quorvel = Quoted(installed("/usr/bin/quorvel"));
  std::string output;
  ASSERT_EQ(RunInstalled(quorvel + " help", &output), 0) << output;
  EXPECT_EQ(output.rfind("Quorvel Varid - ", 0), 0u) << output;

  const std::string home = scratch("home");
  const struct {
    const char* path;
    std::size_t size;
  } files[] = {{".cache/c", 1000}, {"only-in-this-package/o", 7}, {"Documents/d", 50}};
  for (const auto& file : files) {
    fs::create_directories(fs::path(home + "/" + file.path).parent_path());
    test::WriteFile(home + "/" + file.path, std::string(file.size, 'x'));
  }
  const std::string environment = "HOME=" + Quoted(home) + " QUORVEL_HOME=" + Quoted(scratch("settings")) +
                                   " XDG_CONFIG_HOME=" + Quoted(scratch("config")) +
                                   " QUORVEL_KEYCHAIN=file QUORVEL_LOG_STDERR=1 ";
  ASSERT_EQ(RunInstalled(environment + quorvel + " create docs " + Quoted(home) + " " + Quoted(scratch("destination")) +
                             " --no-encryption",
                         &output),
            0)
      << output;
  const std::string checkSource = environment + quorvel + " check-source docs --json 2>" + Quoted(scratch("stderr"));
  const auto check = [&](std::uint64_t size, const char* excluded) {
    ASSERT_EQ(RunInstalled(checkSource, &output), 0) << output << test::ReadTextFile(scratch("stderr"));
    nlohmann::json results = nlohmann::json::parse(output, nullptr, false);
    ASSERT_FALSE(results.is_discarded()) << output;
    EXPECT_EQ(results["excludedPaths"], nlohmann::json::array({excluded})) << output;
    EXPECT_EQ(results["sourceSize"], size) << output;
    EXPECT_EQ(test::ReadTextFile(scratch("stderr")), "");
  };
  {
    SCOPED_TRACE("the shipped Exclusions.plist");
    check(57, ".cache");
  }
  const std::string plist = installed("/usr/share/quorvel/Exclusions.plist");
  const Data shipped = test::ReadFile(plist);
  test::WriteFile(plist, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                     "<key>root</key><array/><key>user</key><array>"
                                     "<string>only-in-this-package</string></array>"
                                     "<key>Volumes</key><array/></dict></plist>\n"));
  {
    SCOPED_TRACE("an Exclusions.plist changed in the installed folder");
    check(1050, "only-in-this-package");
  }
  test::WriteFile(plist, shipped);
}

TEST_F(DebianPackage, TheMenuEntryIsValidAndStartsTheDesktopApplication) {
  const std::string entry = installed("/usr/share/applications/quorvel.desktop");
  std::string output;
  EXPECT_EQ(RunJoined("desktop-file-validate " + Quoted(entry), &output), 0) << output;
  EXPECT_EQ(output, "");
  const std::string text = test::ReadTextFile(entry);
  EXPECT_TRUE(Contains(text, "\nExec=quorvel-gui\n")) << text;
  EXPECT_TRUE(Contains(text, "\nIcon=quorvel\n")) << text;
  EXPECT_TRUE(Contains(text, "\nCategories=Utility;Archiving;\n")) << text;
  const std::string icon = test::ReadTextFile(installed("/usr/share/icons/hicolor/scalable/apps/quorvel.svg"));
  EXPECT_TRUE(Contains(icon, "<svg ")) << icon;
}

// The page is made from the program's own help: every command the help lists
// is in it, and man renders it without a warning.
TEST_F(DebianPackage, TheManualPageIsTheProgramsHelpAndRendersCleanly) {
  std::string help, page;
  ASSERT_EQ(RunInstalled(Quoted(installed("/usr/bin/quorvel")) + " help", &help), 0) << help;
  const std::string command = "LC_ALL=C MANWIDTH=200 man --warnings -l " +
                              Quoted(installed("/usr/share/man/man1/quorvel.1.gz"));
  ASSERT_EQ(test::RunShell(command + " 2>" + Quoted(scratch("warnings")), &page), 0);
  EXPECT_EQ(test::ReadTextFile(scratch("warnings")), "");
  for (const char* heading : {"NAME", "SYNOPSIS", "DESCRIPTION", "FILES"})
    EXPECT_TRUE(Contains(page, std::string("\n") + heading + "\n")) << heading << "\n" << page;
  EXPECT_TRUE(Contains(page, "quorvel - incremental, encrypted, verified backups")) << page;
  int commands = 0;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    // "  backup         back up a source directory ...": a command and what it does.
    if (line.size() < 18 || line.compare(0, 2, "  ") != 0 || line[2] == ' ' || line.find("   ") == std::string::npos)
      continue;
    const std::string word = line.substr(2, line.find(' ', 2) - 2);
    ++commands;
    EXPECT_TRUE(Contains(page, word)) << word << " is not in the page:\n" << page;
  }
  EXPECT_GE(commands, 15) << help;
}

// The unit and D-Bus file are the ones "quorvel daemon --install" writes for
// the installed program (its systemctl call fails here, after writing them).
TEST_F(DebianPackage, TheSchedulerFilesAreTheOnesDaemonInstallWrites) {
  const std::string home = scratch("home");
  const std::string runtime = scratch("runtime");
  fs::create_directories(runtime + "/systemd");
  test::WriteFile(runtime + "/systemd/private", std::string());
  fs::create_directories(scratch("bin"));
  test::WriteFile(scratch("bin/systemctl"), std::string("#!/bin/sh\nexit 1\n"));
  fs::permissions(scratch("bin/systemctl"), fs::perms::owner_all);
  std::string output;
  RunInstalled("-u DBUS_SESSION_BUS_ADDRESS HOME=" + Quoted(home) + " XDG_CONFIG_HOME=" + Quoted(home + "/.config") +
                   " XDG_DATA_HOME=" + Quoted(home + "/.local/share") + " XDG_RUNTIME_DIR=" + Quoted(runtime) +
                   " PATH=" + Quoted(scratch("bin")) + ":\"$PATH\" " + Quoted(installed("/usr/bin/quorvel")) +
                   " daemon --install",
               &output);
  const auto asPackaged = [&](std::string text) {
    const std::string written = "\"" + installed("/usr/bin/quorvel") + "\"";
    for (std::size_t at; (at = text.find(written)) != std::string::npos;)
      text.replace(at, written.size(), "/usr/bin/quorvel");
    return text;
  };
  const std::string unit = test::ReadTextFile(home + "/.config/systemd/user/quorvel.service");
  const std::string busService = test::ReadTextFile(home + "/.local/share/dbus-1/services/org.quorvel.Varid.service");
  ASSERT_FALSE(unit.empty()) << output;
  ASSERT_FALSE(busService.empty()) << output;
  EXPECT_EQ(test::ReadTextFile(installed("/usr/lib/systemd/user/quorvel.service")), asPackaged(unit));
  EXPECT_EQ(test::ReadTextFile(installed("/usr/share/dbus-1/services/org.quorvel.Varid.service")),
            asPackaged(busService));
  EXPECT_TRUE(Contains(asPackaged(unit), "\nExecStart=/usr/bin/quorvel daemon\n")) << unit;
}

}  // namespace
}  // namespace quorvel
