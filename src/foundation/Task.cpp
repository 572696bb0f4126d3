#include "foundation/Task.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/RunLoop.h"
#include "foundation/Unicode.h"

extern char** environ;

namespace quorvel {
namespace {

constexpr std::size_t kChunkSize = 65536;
// How often the child is looked at when the kernel offers no process descriptor.
constexpr double kExitPollInterval = 0.05;

// Both ends of a pipe; closed on destruction. Descriptors are close-on-exec
// and never 0, 1 or 2, so that dup2 onto the standard streams always clears
// the flag in the child and other threads' children never inherit them.
struct Pipe {
  int read = -1;
  int write = -1;

  ~Pipe() { close(); }
  bool open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return raise(read) && raise(write);
  }
  void closeRead() { CloseFd(read); }
  void closeWrite() { CloseFd(write); }
  void close() {
    closeRead();
    closeWrite();
  }

  static void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  static bool raise(int& fd) {
    if (fd > 2) return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = moved;
    return fd >= 0;
  }
};

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// write(2) that cannot kill the process with SIGPIPE when the reader is
// gone: the signal is blocked on this thread (where the kernel sends it) and
// a SIGPIPE caused by this write is taken back before unblocking.
ssize_t WriteWithoutSigPipe(int fd, const void* bytes, std::size_t length) {
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t written = ::write(fd, bytes, length);
  int error = errno;
  if (written < 0 && error == EPIPE && !alreadyPending) {
    struct timespec noWait = {0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

std::string NonZeroStatusMessage(int status) {
  std::optional<std::string> description;
  if (status <= 32) description = SignalDescription(status);
  // A status that is no signal number shows as the null text does in C formats.
  return "Non-zero termination status (" + std::to_string(status) + " - " + description.value_or("(null)") + ")";
}

// Everything that belongs to one run in progress.
struct Run {
  Task* task = nullptr;
  TaskDelegate* delegate = nullptr;
  pid_t pid = -1;
  bool exited = false;
  int waitStatus = 0;

  Data output;
  Data errorOutput;
  const Data* input = nullptr;
  std::size_t inputWritten = 0;
  bool inputFailed = false;

  std::shared_ptr<FileDescriptorSource> outputReader;
  std::shared_ptr<FileDescriptorSource> errorReader;
  std::shared_ptr<FileDescriptorSource> inputWriter;
  std::shared_ptr<FileDescriptorSource> exitWatcher;
  std::shared_ptr<Timer> exitPoller;
  std::shared_ptr<Timer> abortTimer;
  int pidfd = -1;

  // Terminate request, then interrupt; never to a child already reaped.
  void stopChild() {
    if (exited || pid <= 0) return;
    kill(pid, SIGTERM);
    kill(pid, SIGINT);
  }

  void reap(int options) {
    if (exited) return;
    int status = 0;
    pid_t result;
    do {
      result = waitpid(pid, &status, options);
    } while (result < 0 && errno == EINTR);
    if (result == pid) {
      exited = true;
      waitStatus = status;
    } else if (result < 0) {
      // ECHILD: someone else reaped it (SIGCHLD ignored); no status to report.
      exited = true;
      waitStatus = 0;
    }
    if (exited) {
      if (exitWatcher) exitWatcher->invalidate();
      if (exitPoller) exitPoller->invalidate();
    }
  }

  void read(FileDescriptorSource& source, Data& buffer, int fd) {
    std::uint8_t chunk[kChunkSize];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer.insert(buffer.end(), chunk, chunk + n);
      return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // End of stream (or a broken one): this reader is done.
    source.invalidate();
  }

  void writeInput(int& fd) {
    while (inputWritten < input->size()) {
      std::size_t slice = std::min(kChunkSize, input->size() - inputWritten);
      ssize_t n = WriteWithoutSigPipe(fd, input->data() + inputWritten, slice);
      if (n > 0) {
        inputWritten += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      inputFailed = true;
      stopChild();
      break;
    }
    inputWriter->invalidate();
    Pipe::CloseFd(fd);
  }

  // Knowing when the child exits, on this loop: its process descriptor, or
  // a polling timer when the kernel offers none.
  void watchExit(RunLoop& loop) {
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      exitWatcher = FileDescriptorSource::create(pidfd, FileDescriptorSource::Readable,
                                                 [this](FileDescriptorSource&, unsigned) { reap(WNOHANG); });
      loop.addSource(exitWatcher, kDefaultRunLoopMode);
    } else {
      exitPoller = Timer::withTimeInterval(kExitPollInterval, true, [this](Timer&) { reap(WNOHANG); });
      loop.addTimer(exitPoller, kDefaultRunLoopMode);
    }
  }

  // The input goes out from the loop, alongside the reading, so that a tool
  // that answers before it has read all of its input cannot block us.
  void startInput(RunLoop& loop, int& fd) {
    SetNonBlocking(fd);
    inputWriter = FileDescriptorSource::create(fd, FileDescriptorSource::Writable,
                                               [this, &fd](FileDescriptorSource&, unsigned) { writeInput(fd); });
    // What fits into the pipe goes now, right after the launch; the loop
    // writes the rest as the tool reads.
    writeInput(fd);
    if (inputWriter->isValid()) loop.addSource(inputWriter, kDefaultRunLoopMode);
  }

  // The abort timer: a polling interval with a delegate, a hard limit without one.
  void startAbortTimer(RunLoop& loop, double timeOut) {
    abortTimer = Timer::withTimeInterval(timeOut, delegate != nullptr, [this](Timer&) {
      if (exited) return;
      if (!delegate || delegate->shouldAbortTask(*task)) stopChild();
    });
    loop.addTimer(abortTimer, kDefaultRunLoopMode);
  }

  // A reader that collects one of the child's output streams into buffer.
  void startReader(RunLoop& loop, std::shared_ptr<FileDescriptorSource>& reader, Data& buffer, int& fd) {
    SetNonBlocking(fd);
    reader = FileDescriptorSource::create(
        fd, FileDescriptorSource::Readable,
        [this, &buffer, &fd](FileDescriptorSource& source, unsigned) { read(source, buffer, fd); });
    loop.addSource(reader, kDefaultRunLoopMode);
  }

  // Runs the loop until the child has exited, then until its streams end.
  void waitForEnd(RunLoop& loop) {
    while (!exited)
      if (loop.runMode(kDefaultRunLoopMode, 1.0) == RunLoopResult::Finished) reap(0);
    while (readersActive())
      if (loop.runMode(kDefaultRunLoopMode, 1.0) == RunLoopResult::Finished) break;
  }

  // The exit status, or the number of the signal that ended the child.
  int terminationStatus() const {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return 0;
  }

  bool readersActive() const {
    return (outputReader && outputReader->isValid()) || (errorReader && errorReader->isValid()) ||
           (inputWriter && inputWriter->isValid());
  }

  void invalidateAll() {
    for (auto* source : {&outputReader, &errorReader, &inputWriter, &exitWatcher})
      if (*source) (*source)->invalidate();
    for (auto* timer : {&exitPoller, &abortTimer})
      if (*timer) (*timer)->invalidate();
    if (pidfd >= 0) close(pidfd);
    pidfd = -1;
  }
};

// The pipes of one run: standard input only for at least one byte of
// input, the outputs only when asked for.
struct ChildPipes {
  Pipe input, output, error;

  // Nothing, or what failed.
  std::optional<std::string> open(bool withInput, bool withOutput, bool withError) {
    if (withInput && !input.open()) return "Failed creating standard input pipe";
    if (withOutput && !output.open()) return "Failed creating standard output pipe";
    if (withError && !error.open()) return "Failed creating standard error pipe";
    return std::nullopt;
  }
  // After the launch the child's ends belong to the child.
  void closeChildEnds() {
    input.closeRead();
    output.closeWrite();
    error.closeWrite();
  }
  void close() {
    input.close();
    output.close();
    error.close();
  }
};

// Launches the tool with the pipes that are open as its standard streams;
// answers posix_spawn's error number (0 on success).
int SpawnChild(const std::string& path, const std::vector<std::string>& arguments,
               const std::optional<Task::Environment>& environment, const std::optional<std::string>& directory,
               const ChildPipes& pipes, pid_t* pid) {
  std::vector<std::string> environmentStrings;
  std::vector<char*> environmentPointers;
  char** envp = environ;
  if (environment) {
    for (const auto& [name, value] : *environment) environmentStrings.push_back(name + "=" + value);
    for (auto& entry : environmentStrings) environmentPointers.push_back(entry.data());
    environmentPointers.push_back(nullptr);
    envp = environmentPointers.data();
  }
  std::vector<std::string> argumentStrings;
  argumentStrings.push_back(path);
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argumentStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipes.input.read >= 0) posix_spawn_file_actions_adddup2(&actions, pipes.input.read, STDIN_FILENO);
  if (pipes.output.write >= 0) posix_spawn_file_actions_adddup2(&actions, pipes.output.write, STDOUT_FILENO);
  if (pipes.error.write >= 0) posix_spawn_file_actions_adddup2(&actions, pipes.error.write, STDERR_FILENO);
  if (directory) posix_spawn_file_actions_addchdir_np(&actions, directory->c_str());
  // The child starts with no blocked signals and default dispositions, even
  // when this thread blocks or the process ignores some (SIGPIPE).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals, defaultSignals;
  sigemptyset(&noSignals);
  sigemptyset(&defaultSignals);
  for (int sig = 1; sig < 32; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaddset(&defaultSignals, sig);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  int spawnError = posix_spawn(pid, path.c_str(), &actions, &attributes, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return spawnError;
}

}  // namespace

std::optional<std::string> SignalDescription(int signalNumber) {
  const char* description = sigdescr_np(signalNumber);
  if (!description) return std::nullopt;
  return std::string(description);
}

Task::Task() = default;

Task::Task(std::string toolPath, std::optional<std::string> currentDirectoryPath)
    : Task(std::move(toolPath), std::nullopt, std::move(currentDirectoryPath)) {}

Task::Task(std::string toolPath, std::optional<Environment> environment, std::optional<std::string> currentDirectoryPath)
    : taskPath_(std::move(toolPath)),
      environment_(std::move(environment)),
      directoryPath_(std::move(currentDirectoryPath)) {}

int Task::runWithInputData(const Data* inputData, const std::vector<std::string>& arguments, Data* outputData,
                           Data* errorData) {
  int status = 0;
  runTask(arguments, inputData, outputData, errorData, &status, nullptr);
  return status;
}

std::optional<TaskError> Task::runWithInputData(const Data* inputData, const std::vector<std::string>& arguments,
                                                Data* outputData) {
  Data errorOutput;
  int status = 0;
  std::string message;
  if (runTask(arguments, inputData, outputData, &errorOutput, &status, &message)) return std::nullopt;
  TaskError error{status, message, std::nullopt};
  std::string reason = StringFromData(errorOutput);
  if (!reason.empty() && IsValidUtf8(reason)) error.localizedFailureReason = std::move(reason);
  return error;
}

std::optional<std::string> Task::runWithArguments(const std::vector<std::string>& arguments,
                                                  const std::string& inputString) {
  Data input = DataFromString(inputString);
  Data output;
  if (!runTask(arguments, &input, &output, nullptr, nullptr, nullptr)) return std::nullopt;
  std::string text = StringFromData(output);
  if (!IsValidUtf8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> Task::runWithToolPath(const std::string& toolPath,
                                                 const std::vector<std::string>& arguments,
                                                 const std::string& inputString, double timeOut) {
  Task task(toolPath, std::nullopt);
  task.setAbortTimeOut(timeOut);
  return task.runWithArguments(arguments, inputString);
}

bool Task::runTask(const std::vector<std::string>& arguments, const Data* inData, Data* outData, Data* errorData,
                   int* status, std::string* message) {
  int localStatus = 0;
  std::string localMessage;
  if (!status) status = &localStatus;
  if (!message) message = &localMessage;
  *status = 0;
  message->clear();
  if (outData) outData->clear();
  if (errorData) errorData->clear();

  auto fail = [&](int code, std::string text) {
    *status = code;
    *message = std::move(text);
    return false;
  };

  ChildPipes pipes;
  const bool haveInput = inData && !inData->empty();
  if (auto error = pipes.open(haveInput, outData != nullptr, errorData != nullptr)) return fail(-1, *error);
  pid_t pid = -1;
  if (int spawnError = SpawnChild(taskPath_, arguments, environment_, directoryPath_, pipes, &pid))
    return fail(-1, "Exception raised when launching tool: \"" + taskPath_ + "\": " + std::strerror(spawnError));
  pipes.closeChildEnds();

  Run run;
  run.task = this;
  run.delegate = delegate_;
  run.pid = pid;
  run.input = inData;
  if (outData) run.output.reserve(dataCapacity_);
  RunLoop& loop = RunLoop::current();
  run.watchExit(loop);
  if (haveInput) run.startInput(loop, pipes.input.write);
  if (timeOut_ > 0) run.startAbortTimer(loop, timeOut_);
  if (outData) run.startReader(loop, run.outputReader, run.output, pipes.output.read);
  if (errorData) run.startReader(loop, run.errorReader, run.errorOutput, pipes.error.read);
  run.waitForEnd(loop);

  run.invalidateAll();
  pipes.close();
  if (outData) *outData = std::move(run.output);
  if (errorData) *errorData = std::move(run.errorOutput);

  if (run.inputFailed) return fail(-1, "Failed writing data to standard input pipe");
  const int terminationStatus = run.terminationStatus();
  if (terminationStatus != 0) return fail(terminationStatus, NonZeroStatusMessage(terminationStatus));
  return true;
}

}  // namespace quorvel
