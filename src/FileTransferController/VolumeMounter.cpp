#include "FileTransferController/VolumeMounter.h"
#include "foundation/Format.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace quorvel {

namespace {

// Runs a tool, feeding `input` to its standard input and collecting its
// standard output and error together. Answers the exit status, or -1 when it
// could not be started or did not finish within the time limit (it is then
// killed).
int RunTool(const std::vector<std::string>& arguments, const std::string& input, std::string* output,
            double timeLimit = 60.0, const std::vector<std::string>& extraEnvironment = {}) {
  int inPipe[2], outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    close(inPipe[0]);
    close(inPipe[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 2);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  for (const std::string& entry : extraEnvironment) environment.push_back(entry);
  environment.emplace_back("LC_ALL=C");
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int spawnError = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  if (spawnError != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    return -1;
  }
  // The input is small (a few lines of credentials): it fits the pipe.
  // A tool that exits without reading must not kill us with SIGPIPE: block
  // it for this thread while writing and discard what the write raised.
  if (!input.empty()) {
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    ssize_t written = write(inPipe[1], input.data(), input.size());
    if (written < 0 && errno == EPIPE) {
      timespec noWait{0, 0};
      sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  close(inPipe[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeLimit);
  std::string collected;
  bool timedOut = false;
  for (;;) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd descriptor{outPipe[0], POLLIN, 0};
    int ready = poll(&descriptor, 1, static_cast<int>(remaining.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = read(outPipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    collected.append(buffer, static_cast<std::size_t>(n));
  }
  close(outPipe[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = std::move(collected);
  if (timedOut || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool ProgramExists(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin:/usr/sbin:/sbin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) return true;
  }
  for (const char* folder : {"/sbin", "/usr/sbin"}) {
    if (access((std::string(folder) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Undoes the octal escapes of /proc/self/mountinfo fields ("\040" for a space).
std::string UnescapeMountField(const std::string& field) {
  std::string result;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        result.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    result.push_back(field[i]);
  }
  return result;
}

struct MountEntry {
  std::string mountPoint;
  std::string fileSystemType;
};

std::vector<MountEntry> ReadMountTable() {
  std::vector<MountEntry> entries;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    std::string field, type;
    while (fields >> field) {
      if (field == "-") {
        fields >> type;
        break;
      }
    }
    entries.push_back({UnescapeMountField(mountPoint), type});
  }
  return entries;
}

std::string FirstLine(const std::string& text) {
  std::size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

// The last non-empty line of a tool's output (where gio and mount put their reason).
std::string LastLine(const std::string& text) {
  std::istringstream lines(text);
  std::string line, last;
  while (std::getline(lines, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

// gio asks again for the user and password when the server refuses them,
// and fails when its input ends: a second prompt means they were refused.
bool CredentialsWereRefused(const std::string& output, bool gaveCredentials) {
  std::size_t first = output.find("Password:");
  return gaveCredentials && first != std::string::npos &&
         (output.find("Password:", first + 1) != std::string::npos || output.find("User [", first) != std::string::npos);
}

// What another failed "gio mount" says, in one line.
std::string GioMountFailureText(const std::string& output) {
  std::string last = LastLine(output);
  if (last.rfind("gio: ", 0) == 0) last = last.substr(5);
  return last.empty() ? "gio mount failed" : last;
}

// 0 when the folder can be opened and read to its end, else the errno.
int ListableFolderError(const std::string& path) {
  DIR* folder = opendir(path.c_str());
  if (!folder) return errno ? errno : ENOTDIR;
  errno = 0;
  while (readdir(folder)) {
  }
  int error = errno;
  closedir(folder);
  return error;
}

}  // namespace

std::string MountRequest::shareURLString() const {
  std::string text = scheme + "://" + host;
  if (port != 0) text += ":" + std::to_string(port);
  return text + "/" + share;
}

std::shared_ptr<VolumeMounter> VolumeMounter::systemMounterForScheme(const std::string& scheme) {
  const char* forced = std::getenv("QUORVEL_VOLUME_MOUNTER");
  std::string choice = forced ? forced : "";
  if (choice == "none") return nullptr;
  if (choice == "gio") return std::make_shared<GioVolumeMounter>();
  if (choice == "cifs") return scheme == "smb" ? std::make_shared<CifsVolumeMounter>() : nullptr;
  if (GioVolumeMounter::isAvailable()) return std::make_shared<GioVolumeMounter>();
  if (scheme == "smb" && CifsVolumeMounter::isAvailable()) return std::make_shared<CifsVolumeMounter>();
  return nullptr;
}

// ---------------------------------------------------------------------------
// GVfs

bool GioVolumeMounter::isAvailable() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || !*bus) return false;
  return ProgramExists("gio");
}

std::string GioVolumeMounter::fuseRoot() {
  // The FUSE bridge may sit in the runtime folder or, when GVfs was started
  // without one, in ~/.cache/gvfs: the mount table knows where it is.
  for (const MountEntry& entry : ReadMountTable()) {
    if (entry.fileSystemType == "fuse.gvfsd-fuse") return entry.mountPoint;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/gvfs";
  return "/run/user/" + std::to_string(getuid()) + "/gvfs";
}

std::set<std::string> GioVolumeMounter::mountedVolumePaths() {
  std::set<std::string> paths;
  for (const MountEntry& entry : ReadMountTable()) {
    if (entry.fileSystemType != "fuse.gvfsd-fuse") continue;
    DIR* folder = opendir(entry.mountPoint.c_str());
    if (!folder) continue;
    while (dirent* item = readdir(folder)) {
      std::string name = item->d_name;
      if (name != "." && name != "..") paths.insert(entry.mountPoint + "/" + name);
    }
    closedir(folder);
  }
  return paths;
}

std::optional<std::string> GioVolumeMounter::mountVolume(const MountRequest& request, int* errorNumber,
                                                         std::string* errorText) {
  std::string url = request.shareURLString();
  std::string output;
  int status;
  if (request.user.empty()) {
    status = RunTool({"gio", "mount", "--anonymous", url}, "", &output);
  } else {
    // gio asks for the user, the domain (SMB only) and the password, in that order.
    std::string answers = request.user + "\n";
    if (request.scheme == "smb") answers += (request.domain.empty() ? "WORKGROUP" : request.domain) + "\n";
    answers += request.password + "\n";
    status = RunTool({"gio", "mount", url}, answers, &output);
  }
  // "already mounted" is not a failure: the volume is there to use.
  if (status != 0 && output.find("already mounted") == std::string::npos) {
    const bool refused = CredentialsWereRefused(output, !request.user.empty());
    if (errorNumber) *errorNumber = refused ? EACCES : status < 0 ? ETIMEDOUT : status;
    if (errorText) *errorText = refused ? "the server refused the user name or password" : GioMountFailureText(output);
    return std::nullopt;
  }
  status = RunTool({"gio", "info", "-a", "standard::name", url + "/"}, "", &output);
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (StartsWith(line, "local path: ")) {
      std::string path = line.substr(12);
      // The FUSE bridge may need a moment to show a share that was just
      // mounted: until then the folder may be there while listing it fails
      // with EIO.
      int lastError = 0;
      for (int attempt = 0; attempt < 50; ++attempt) {
        lastError = ListableFolderError(path);
        if (lastError == 0) return path;
        usleep(100000);
      }
      if (errorNumber) *errorNumber = lastError;
      if (errorText) *errorText = "The mounted share is not visible at " + path;
      return std::nullopt;
    }
  }
  if (errorNumber) *errorNumber = ENOTSUP;
  if (errorText) {
    *errorText = status == 0 ? "GVfs offers no local path for the share (its FUSE bridge is not running)"
                             : LastLine(output);
  }
  return std::nullopt;
}

bool GioVolumeMounter::unmountVolume(const MountRequest& request, const std::string& mountPoint,
                                     int* errorNumber, std::string* errorText) {
  std::string output;
  // GVfs refuses while its FUSE bridge still has the share's files open,
  // which lasts a moment after the last close: try again a few times.
  int status = -1;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) usleep(200000);
    status = RunTool({"gio", "mount", "--unmount", request.shareURLString()}, "", &output);
    if (status == 0) return true;
  }
  if (errorNumber) *errorNumber = status < 0 ? ETIMEDOUT : status;
  if (errorText) *errorText = LastLine(output);
  return false;
}

// ---------------------------------------------------------------------------
// Kernel CIFS client

bool CifsVolumeMounter::isAvailable() {
  if (!ProgramExists("mount.cifs")) return false;
  if (geteuid() == 0) return true;
  for (const char* path : {"/sbin/mount.cifs", "/usr/sbin/mount.cifs"}) {
    struct stat st;
    if (stat(path, &st) == 0 && (st.st_mode & S_ISUID) && st.st_uid == 0) return true;
  }
  return false;
}

std::string CifsVolumeMounter::mountPointFor(const MountRequest& request) {
  std::string name = request.host + "-" + request.share;
  for (char& c : name) {
    if (c == '/' || c == ':') c = '_';
  }
  return "/mnt/quorvel/" + name;
}

std::set<std::string> CifsVolumeMounter::mountedVolumePaths() {
  std::set<std::string> paths;
  std::string userMedia = "/run/media/";
  for (const MountEntry& entry : ReadMountTable()) {
    if (StartsWith(entry.mountPoint, "/mnt/") || StartsWith(entry.mountPoint, "/media/") ||
        StartsWith(entry.mountPoint, userMedia)) {
      paths.insert(entry.mountPoint);
    }
  }
  return paths;
}

std::optional<std::string> CifsVolumeMounter::mountVolume(const MountRequest& request, int* errorNumber,
                                                          std::string* errorText) {
  std::string mountPoint = mountPointFor(request);
  if (mountedVolumePaths().count(mountPoint)) return mountPoint;
  std::string parent = mountPoint.substr(0, mountPoint.rfind('/'));
  mkdir(parent.c_str(), 0755);
  if (mkdir(mountPoint.c_str(), 0700) != 0 && errno != EEXIST) {
    if (errorNumber) *errorNumber = errno;
    if (errorText) *errorText = "Cannot create " + mountPoint + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string options = "uid=" + std::to_string(getuid()) + ",gid=" + std::to_string(getgid());
  if (request.port != 0) options += ",port=" + std::to_string(request.port);
  std::vector<std::string> environment;
  if (request.user.empty()) {
    options += ",guest";
  } else {
    // The credentials travel in the environment, never on the command line.
    environment.push_back("USER=" + request.user);
    environment.push_back("PASSWD=" + request.password);
    if (!request.domain.empty()) options += ",domain=" + request.domain;
  }
  std::string output;
  int status = RunTool({"mount.cifs", "//" + request.host + "/" + request.share, mountPoint, "-o", options}, "",
                       &output, 60.0, environment);
  if (status == 0) return mountPoint;
  rmdir(mountPoint.c_str());
  if (errorNumber) *errorNumber = status < 0 ? ETIMEDOUT : status;
  if (errorText) *errorText = LastLine(output);
  return std::nullopt;
}

bool CifsVolumeMounter::unmountVolume(const MountRequest& request, const std::string& mountPoint,
                                      int* errorNumber, std::string* errorText) {
  std::string output;
  int status = RunTool({"umount", mountPoint}, "", &output);
  if (status == 0) {
    rmdir(mountPoint.c_str());
    return true;
  }
  if (errorNumber) *errorNumber = status < 0 ? ETIMEDOUT : status;
  if (errorText) *errorText = FirstLine(output);
  return false;
}

}  // namespace quorvel
