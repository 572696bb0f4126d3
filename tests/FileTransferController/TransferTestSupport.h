// Shared pieces of the transfer tests: a delegate that records what it is
// told, pseudo-random payloads and independent checks with the system's tools.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/LocalTransferController.h"
#include "foundation/Url.h"
#include "support/TestSupport.h"

namespace quorvel::test {

class RecordingDelegate : public FileTransferControllerDelegate {
 public:
  void fileTransferControllerDidStart(FileTransferController&) override { ++starts; }
  void fileTransferControllerDidUpdateProgress(FileTransferController& controller) override {
    ++progressUpdates;
    lastProgress = controller.currentLength();
    lastProgressMax = controller.maxLength();
  }
  bool fileTransferControllerShouldAbort(FileTransferController& controller) override {
    ++abortQuestions;
    return shouldAbort ? shouldAbort(controller) : false;
  }
  void fileTransferControllerDidSucceed(FileTransferController&) override { ++successes; }
  void fileTransferControllerDidFail(FileTransferController&, const Error& error) override {
    ++failures;
    errors.push_back(error);
  }

  std::string lastErrorText() const { return errors.empty() ? std::string() : errors.back().localizedDescription(); }

  int starts = 0;
  int progressUpdates = 0;
  std::uint64_t lastProgress = 0;
  std::uint64_t lastProgressMax = 0;
  int abortQuestions = 0;
  int successes = 0;
  int failures = 0;
  std::vector<Error> errors;
  std::function<bool(FileTransferController&)> shouldAbort;
};

inline Data PseudoRandomData(std::size_t length, unsigned seed = 7) {
  std::mt19937 generator(seed);
  Data data(length);
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    std::uint32_t word = generator();
    data[i] = static_cast<std::uint8_t>(word);
    data[i + 1] = static_cast<std::uint8_t>(word >> 8);
    data[i + 2] = static_cast<std::uint8_t>(word >> 16);
    data[i + 3] = static_cast<std::uint8_t>(word >> 24);
  }
  for (; i < length; ++i) data[i] = static_cast<std::uint8_t>(generator());
  return data;
}

inline std::string Hex(const std::optional<Data>& data) { return data ? HexStringFromData(*data) : "<nothing>"; }

// The MD5 of a file according to md5sum.
inline std::string Md5sumOfFile(const std::string& path) {
  std::string output;
  if (RunShell("md5sum '" + path + "'", &output) != 0) return "<md5sum failed>";
  return output.substr(0, 32);
}

inline std::uint64_t FileSize(const std::string& path) {
  std::string output;
  RunShell("stat -c %s '" + path + "'", &output);
  return std::stoull(output.empty() ? "0" : output);
}

inline std::shared_ptr<LocalTransferController> LocalController(const std::string& folder) {
  std::optional<Url> url = Url::URLWithScheme("file", "localhost", folder);
  return url ? LocalTransferController::initWithBaseURL(*url) : nullptr;
}

}  // namespace quorvel::test
