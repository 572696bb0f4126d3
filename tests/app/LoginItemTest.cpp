// The login item: the autostart entry appears and goes where the desktop
// looks for it, and its Exec line gives back the program's path whatever
// characters the path holds (checked with the desktop's own validator).
#include "app/LoginItem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

// Sets an environment variable for the test's duration.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string ExecLine(const std::string& text) {
  const std::size_t start = text.find("\nExec=");
  if (start == std::string::npos) return {};
  return text.substr(start + 6, text.find('\n', start + 1) - start - 6);
}

TEST(LoginItem, TheExecLineQuotesThePathAsDesktopEntriesRequire) {
  struct Case {
    const char* program;
    const char* exec;
  };
  const Case cases[] = {
      {"/usr/bin/quorvel-gui", R"("/usr/bin/quorvel-gui" --hidden)"},
      {"/opt/My Apps/quorvel-gui", R"("/opt/My Apps/quorvel-gui" --hidden)"},
      {"/opt/100%/quorvel-gui", R"("/opt/100%%/quorvel-gui" --hidden)"},
      {"/opt/a\"b/quorvel-gui", R"("/opt/a\\"b/quorvel-gui" --hidden)"},
      {"/opt/$HOME`x`/quorvel-gui", R"("/opt/\\$HOME\\`x\\`/quorvel-gui" --hidden)"},
      {"/opt/back\\slash/quorvel-gui", R"("/opt/back\\\\slash/quorvel-gui" --hidden)"},
  };
  TempDir folder;
  for (const Case& c : cases) {
    const std::string text = LoginItemText(c.program);
    EXPECT_EQ(ExecLine(text), c.exec) << c.program;
    const std::string file = folder / "entry.desktop";
    WriteFile(file, text);
    std::string output;
    EXPECT_EQ(RunShell("desktop-file-validate '" + file + "' 2>&1", &output), 0) << c.program << "\n" << output;
  }
}

TEST(LoginItem, IsWrittenAndRemovedUnderTheConfigFolder) {
  TempDir folder;
  ScopedVariable config("XDG_CONFIG_HOME", folder / "config");
  const std::string path = folder / "config/autostart/quorvel-gui.desktop";
  EXPECT_EQ(LoginItemPath(), path);
  EXPECT_FALSE(IsLaunchAtLoginInstalled());

  EXPECT_EQ(SetLaunchAtLogin(true, "/usr/bin/quorvel-gui"), "");
  EXPECT_TRUE(IsLaunchAtLoginInstalled());
  EXPECT_EQ(ReadTextFile(path), LoginItemText("/usr/bin/quorvel-gui"));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // Written again for another place of the program: replaced, not appended.
  EXPECT_EQ(SetLaunchAtLogin(true, "/opt/quorvel/quorvel-gui"), "");
  EXPECT_EQ(ReadTextFile(path), LoginItemText("/opt/quorvel/quorvel-gui"));

  EXPECT_EQ(SetLaunchAtLogin(false, "/opt/quorvel/quorvel-gui"), "");
  EXPECT_FALSE(std::filesystem::exists(path));
  // Removing what is not there is no failure.
  EXPECT_EQ(SetLaunchAtLogin(false, "/opt/quorvel/quorvel-gui"), "");
}

TEST(LoginItem, WithoutAConfigFolderVariableTheHomeFolderIsUsed) {
  TempDir folder;
  ScopedVariable home("HOME", folder / "home");
  for (bool unset : {false, true}) {
    ScopedVariable config("XDG_CONFIG_HOME", "");
    if (unset) unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(LoginItemPath(), folder / "home/.config/autostart/quorvel-gui.desktop");
  }
  EXPECT_EQ(SetLaunchAtLogin(true, "/usr/bin/quorvel-gui"), "");
  EXPECT_TRUE(std::filesystem::exists(folder / "home/.config/autostart/quorvel-gui.desktop"));
}

TEST(LoginItem, AFolderThatCannotBeMadeIsReported) {
  TempDir folder;
  WriteFile(folder / "a-file", "");
  ScopedVariable config("XDG_CONFIG_HOME", folder / "a-file");
  const std::string error = SetLaunchAtLogin(true, "/usr/bin/quorvel-gui");
  EXPECT_NE(error.find(folder / "a-file/autostart"), std::string::npos) << error;
  EXPECT_FALSE(IsLaunchAtLoginInstalled());
}

}  // namespace
}  // namespace quorvel
