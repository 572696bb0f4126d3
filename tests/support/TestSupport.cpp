#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quorvel::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const Data& contents) {
  WriteFile(path, std::string(contents.begin(), contents.end()));
}

Data ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Data ReadTestData(const std::string& relativePath) {
  const std::string path = std::string(QUORVEL_FIXTURES_DIR) + "/" + relativePath;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "test data missing: " << path;
    return {};
  }
  return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunShell(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = std::move(text);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool HaveProgram(const std::string& name) {
  return RunShell("command -v '" + name + "' >/dev/null 2>&1") == 0;
}

std::string Python() {
  if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
  return "python3";
}

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool LoopbackPortAccepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool accepts = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepts;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

PrivateBus::PrivateBus(const std::string& folder) : folder_(folder) {
  std::string output;
  RunShell("dbus-daemon --session --fork --print-address=1 --print-pid=3 3>'" + folder + "/pid' --address=unix:path='" +
               folder + "/socket' 2>/dev/null",
           &output);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  address_ = output;
}

PrivateBus::~PrivateBus() {
  RunShell("kill $(cat '" + folder_ + "/pid' '" + folder_ + "/mock-pids' 2>/dev/null) 2>/dev/null");
}

void PrivateBus::startMock(const std::string& templateName, const std::string& parameters) {
  RunShell("DBUS_SYSTEM_BUS_ADDRESS='" + address_ + "' /usr/bin/python3 -m dbusmock --system --template " +
           templateName + (parameters.empty() ? "" : " -p '" + parameters + "'") + " >>'" + folder_ +
           "/mock.log' 2>&1 & echo $! >>'" + folder_ + "/mock-pids'");
}

}  // namespace quorvel::test
