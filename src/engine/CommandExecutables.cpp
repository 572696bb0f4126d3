#include "engine/CommandExecutables.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "engine/BackupCommandOperation.h"
#include "foundation/Unicode.h"

namespace quorvel {

namespace {

std::string LastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The extension of the last component ("" when none); a leading dot of a
// hidden name is not an extension separator.
std::string PathExtension(const std::string& path) {
  std::string name = LastPathComponent(path);
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string();
  return name.substr(dot + 1);
}

std::string DeletingPathExtension(const std::string& name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

std::string Lowercased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::optional<std::string> FindProgramOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= directories.size()) {
    std::size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    std::string directory = directories.substr(start, end - start);
    start = end + 1;
    if (directory.empty()) directory = ".";
    std::string candidate = directory + "/" + name;
    struct stat status;
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

ExecutableInvocation ExecutableInvocationForPath(const std::string& executablePath, const std::string& sourceDirectory,
                                                 const std::optional<std::string>& destination) {
  ExecutableInvocation invocation;
  std::string extension = Lowercased(PathExtension(executablePath));
  if (extension == "app") {
    std::string bundle = executablePath;
    while (bundle.size() > 1 && bundle.back() == '/') bundle.pop_back();
    invocation.toolPath = bundle + "/Contents/MacOS/" + DeletingPathExtension(LastPathComponent(bundle));
    return invocation;
  }
  if (extension == "applescript" || extension == "scpt") {
    invocation.scriptRunner = kScriptRunnerName;
    invocation.toolPath = FindProgramOnPath(kScriptRunnerName).value_or(std::string());
    invocation.arguments.push_back(executablePath);
  } else {
    invocation.toolPath = executablePath;
  }
  invocation.arguments.push_back(sourceDirectory);
  if (destination) invocation.arguments.push_back(*destination);
  return invocation;
}

bool BackupCommandOperation::runExecutable(const std::string& executablePath, const std::string& sourceDirectory,
                                           const std::shared_ptr<const Url>& destinationURL) {
  std::optional<std::string> destination;
  if (destinationURL) {
    // A hook sees the destination without its password: arguments show in
    // every process listing, and the hook needs no secret to know where.
    std::optional<Url> shown = destinationURL->URLByDeletingPassword();
    destination = destinationURL->isFileURL() ? destinationURL->path()
                                              : (shown ? shown->absoluteString() : std::string());
  }
  ExecutableInvocation invocation = ExecutableInvocationForPath(executablePath, sourceDirectory, destination);
  if (invocation.toolPath.empty()) {
    logErrorMessage("Executable \"%@\" cannot be run: no script runner \"%@\" was found", executablePath,
                    invocation.scriptRunner);
    return false;
  }

  Task task(invocation.toolPath, std::nullopt);
  task.setDelegate(this);
  task.setAbortTimeOut(0.5);
  Data output;
  Data errorOutput;
  int status = task.runWithInputData(nullptr, invocation.arguments, &output, &errorOutput);
  if (status == 0) return true;

  std::string signalText = SignalDescription(status).value_or(std::string("Unknown signal ") + std::to_string(status));
  logErrorMessage("Executable \"%@\" exited with non-zero status (%i - %s)", invocation.toolPath, status,
                  signalText.c_str());
  for (const Data* stream : {&output, &errorOutput}) {
    if (stream->empty()) continue;
    std::string text = StringFromData(*stream);
    if (!IsValidUtf8(text)) continue;
    logErrorMessage("[%@] %@", invocation.toolPath, text);
  }
  return false;
}

}  // namespace quorvel
