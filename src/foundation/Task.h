// Task: runs one external tool as a child process and waits for it, feeding
// it optional input and collecting its standard output and standard error in
// memory.
//
// The calling thread blocks for the whole run. While it waits it runs its own
// RunLoop in the default mode: the output readers, the input writer and the
// abort timer are sources of that loop, so the delegate is asked on the
// calling thread, and other default-mode sources of that thread may fire
// during a run.
//
// Stopping early: with an abort time-out above 0 a timer fires on the
// caller's loop. Without a delegate it fires once and stops the tool (a
// terminate request, then an interrupt), so the time-out limits the run
// time. With a delegate it repeats and stops the tool when
// shouldAbortTask() answers true, so the time-out is the polling interval.
//
// A Task may run several times in sequence, never twice at once. Different
// Task objects may run on different threads at the same time. Failures are
// reported through the results, never thrown.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Data.h"

namespace quorvel {

class Task;

class TaskDelegate {
 public:
  virtual ~TaskDelegate() = default;
  // Asked on the running thread every abort time-out; true stops the tool.
  virtual bool shouldAbortTask(Task& task) = 0;
};

// The error a failed run reports (domain "NSPOSIXErrorDomain"): the run
// status as code, the failure message as description, and the tool's
// standard error as failure reason when it is non-empty UTF-8.
struct TaskError {
  static constexpr const char* kDomain = "NSPOSIXErrorDomain";
  int code = 0;
  std::string localizedDescription;
  std::optional<std::string> localizedFailureReason;
};

// The platform's description of a signal ("Hangup" for 1), or nothing for a
// number that is not a signal.
std::optional<std::string> SignalDescription(int signalNumber);

class Task {
 public:
  using Environment = std::map<std::string, std::string>;

  // No tool: every run fails at launch.
  Task();
  // initWithToolPath:currentDirectoryPath: - the caller's environment.
  Task(std::string toolPath, std::optional<std::string> currentDirectoryPath);
  // initWithToolPath:environment:currentDirectoryPath: - a null environment
  // inherits the caller's, a null directory the caller's working directory.
  Task(std::string toolPath, std::optional<Environment> environment, std::optional<std::string> currentDirectoryPath);

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  const std::string& taskPath() const { return taskPath_; }
  const std::optional<Environment>& environment() const { return environment_; }
  const std::optional<std::string>& directoryPath() const { return directoryPath_; }

  // Not owned; must outlive every run it is set for.
  TaskDelegate* delegate() const { return delegate_; }
  void setDelegate(TaskDelegate* delegate) { delegate_ = delegate; }
  // Seconds; 0 (the default) means no timer.
  double abortTimeOut() const { return timeOut_; }
  void setAbortTimeOut(double seconds) { timeOut_ = seconds; }
  // Initial capacity of the standard-output buffer; default 0.
  std::uint32_t outputDataCapacity() const { return dataCapacity_; }
  void setOutputDataCapacity(std::uint32_t capacity) { dataCapacity_ = capacity; }

  // Runs the tool. Input (when given and non-empty) goes to its standard
  // input through a pipe; otherwise it inherits the caller's. Standard output
  // and standard error are captured only when outputData / errorData are
  // given, otherwise inherited. Returns 0 on success, the termination status
  // when the tool ended with a non-zero one (the signal number when a signal
  // ended it), or -1 for a failure without a status of its own (pipes,
  // launch, writing the input).
  int runWithInputData(const Data* inputData, const std::vector<std::string>& arguments, Data* outputData,
                       Data* errorData);
  // The same, with the error output captured: nothing on success, else the error.
  std::optional<TaskError> runWithInputData(const Data* inputData, const std::vector<std::string>& arguments,
                                            Data* outputData);
  // The standard output as UTF-8 text, or nothing when the run failed (or
  // the output is not UTF-8). The input text is sent as UTF-8.
  std::optional<std::string> runWithArguments(const std::vector<std::string>& arguments,
                                              const std::string& inputString);
  // One-shot runner: no working directory, the given abort time-out, no delegate.
  static std::optional<std::string> runWithToolPath(const std::string& toolPath,
                                                    const std::vector<std::string>& arguments,
                                                    const std::string& inputString, double timeOut);

 private:
  // The core of every run. status and message are optional destinations.
  bool runTask(const std::vector<std::string>& arguments, const Data* inData, Data* outData, Data* errorData,
               int* status, std::string* message);

  std::string taskPath_;
  std::optional<Environment> environment_;
  std::optional<std::string> directoryPath_;
  TaskDelegate* delegate_ = nullptr;
  double timeOut_ = 0.0;
  std::uint32_t dataCapacity_ = 0;
};

}  // namespace quorvel
