// Helpers shared by the tests: temporary folders, files, running commands.
#pragma once

#include <string>

#include "foundation/Data.h"

namespace quorvel::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the
// object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents);
void WriteFile(const std::string& path, const Data& contents);
Data ReadFile(const std::string& path);
// Reads a file under tests/data (for example "typedstream/Emacs.clr"). A
// missing or unreadable file fails the current test with its path and
// returns no bytes.
Data ReadTestData(const std::string& relativePath);

// Runs a shell command; returns its exit status (or -1) and its standard output.
int RunShell(const std::string& command, std::string* output = nullptr);

// True when a program is on the PATH.
bool HaveProgram(const std::string& name);

// The Python interpreter to use for independent checks (Debian's when present).
std::string Python();

// For tests that start a server of their own on 127.0.0.1: a TCP port free
// at the time of the call (0 when none could be found), and whether
// something accepts connections on a port.
int FreeLoopbackPort();
bool LoopbackPortAccepts(int port);
// A file's contents as text; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

// A dbus-daemon of the test's own with its socket in `folder`; it ends with
// the object, and so do the mocks started on it. address() is empty when the
// daemon did not start.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& folder);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  const std::string& address() const { return address_; }
  // Starts a python3-dbusmock template (with its JSON parameters) that takes
  // this bus for the system bus; its output goes to folder/mock.log.
  void startMock(const std::string& templateName, const std::string& parameters = "");

 private:
  std::string folder_;
  std::string address_;
};

}  // namespace quorvel::test
