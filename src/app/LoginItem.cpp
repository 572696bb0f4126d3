#include "app/LoginItem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "foundation/AtomicFile.h"

namespace quorvel {

namespace {

std::string ConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return config;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config";
}

// An Exec argument: double quotes around it with ", `, $ and \ escaped by a
// backslash; then, as for every string value of the file, each backslash
// doubled; and "%" (a field code) doubled.
std::string ExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
    } else if (c == '\\') {
      quoted += "\\\\\\";
    } else if (c == '%') {
      quoted += '%';
    }
    quoted += c;
  }
  return quoted + "\"";
}

// A value may not span lines.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string LoginItemPath() { return ConfigFolder() + "/autostart/" + kLoginItemFileName; }

std::string LoginItemText(const std::string& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Quorvel Varid\n"
         "Comment=Backups of a folder to a disk, a server or the cloud\n"
         "Exec=" + OneLine(ExecArgument(program)) + " --hidden\n"
         "Icon=quorvel\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::string SetLaunchAtLogin(bool enabled, const std::string& program) {
  namespace fs = std::filesystem;
  const std::string path = LoginItemPath();
  std::error_code error;
  if (!enabled) {
    fs::remove(path, error);
    return error ? "cannot remove \"" + path + "\": " + error.message() : std::string();
  }
  fs::create_directories(fs::path(path).parent_path(), error);
  if (error) return "cannot create the folder of \"" + path + "\": " + error.message();
  const Status written = WriteFileAtomically(path, LoginItemText(program), 0644);
  return written.ok() ? std::string() : written.message();
}

bool IsLaunchAtLoginInstalled() {
  std::error_code error;
  return std::filesystem::is_regular_file(LoginItemPath(), error);
}

}  // namespace quorvel
