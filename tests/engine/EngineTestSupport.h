// Shared pieces of the engine tests: a delegate that records every callback
// with the thread it arrived on, and a way to run the main loop until
// something happened.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupController.h"
#include "foundation/Date.h"
#include "foundation/RunLoop.h"

namespace quorvel::test {

// Runs the main loop until `done` answers true or `seconds` passed; answers
// whether `done` became true.
inline bool RunMainLoopUntil(const std::function<bool()>& done, double seconds = 20.0) {
  Date limit = Date::now().addingTimeInterval(seconds);
  while (!done()) {
    if (Date::now() >= limit) return false;
    RunLoop::main().runMode(kDefaultRunLoopMode, 0.05);
  }
  return true;
}

// Runs the main loop for a while, serving whatever arrives.
inline void RunMainLoopFor(double seconds) {
  Date limit = Date::now().addingTimeInterval(seconds);
  while (Date::now() < limit) RunLoop::main().runMode(kDefaultRunLoopMode, 0.02);
}

struct DelegateEvent {
  std::string name;  // "willStart", "didStart", "didNotStart", "didFinish", "error", "beginPhase", ...
  bool onMainThread = false;
  int command = 0;
  std::string text;  // message or phase type
  std::uint32_t identifier = 0;
  std::uint32_t current = 0;
  std::uint32_t max = 0;
  double timestamp = 0;
  std::optional<Dictionary> results;  // didFinish
  Dictionary arguments;               // didFinish
};

inline DelegateEvent MakeEvent(const char* name, int command = 0) {
  DelegateEvent event;
  event.name = name;
  event.onMainThread = RunLoop::isMainThread();
  event.command = command;
  return event;
}

class RecordingDelegate : public BackupControllerDelegate {
 public:
  // Which optional callbacks this delegate takes (all by default).
  bool takesRetryQuestions = true;
  bool takesOptionalCallbacks = true;
  // Called inside backupControllerShouldRetryAfterNetworkError.
  std::function<void(BackupController&)> onRetryQuestion;

  bool respondsTo(Callback callback) const override {
    if (callback == Callback::ShouldRetryAfterNetworkError) return takesRetryQuestions;
    return takesOptionalCallbacks;
  }

  void backupControllerWillStartCommand(BackupController&, int command) override {
    add(MakeEvent("willStart", command));
  }
  void backupControllerDidStartCommand(BackupController&, int command) override {
    add(MakeEvent("didStart", command));
  }
  void backupControllerDidNotStartCommand(BackupController&, int command) override {
    add(MakeEvent("didNotStart", command));
  }
  void backupControllerDidFinishCommand(BackupController&, int command, const Dictionary* results,
                                        const Dictionary& arguments) override {
    DelegateEvent event = MakeEvent("didFinish", command);
    if (results) event.results = *results;
    event.arguments = arguments;
    add(event);
  }
  void backupControllerDidGetErrorMessage(BackupController&, const std::string& message) override {
    DelegateEvent event = MakeEvent("error");
    event.text = message;
    add(event);
  }
  void backupControllerWillBeginPhaseWithType(BackupController&, const std::string& type,
                                              std::uint32_t identifier) override {
    DelegateEvent event = MakeEvent("beginPhase");
    event.text = type;
    event.identifier = identifier;
    add(event);
  }
  void backupControllerDidEndPhaseWithType(BackupController&, const std::string& type,
                                           std::uint32_t identifier) override {
    DelegateEvent event = MakeEvent("endPhase");
    event.text = type;
    event.identifier = identifier;
    add(event);
  }
  void backupControllerDidUpdatePhaseWithType(BackupController&, const std::string& type, std::uint32_t identifier,
                                              std::uint32_t current, std::uint32_t max, double timestamp) override {
    DelegateEvent event = MakeEvent("updatePhase");
    event.text = type;
    event.identifier = identifier;
    event.current = current;
    event.max = max;
    event.timestamp = timestamp;
    add(event);
  }
  void backupControllerDidSuspend(BackupController&) override { add(MakeEvent("didSuspend")); }
  void backupControllerDidResume(BackupController&) override { add(MakeEvent("didResume")); }
  void backupControllerShouldRetryAfterNetworkError(BackupController& controller) override {
    add(MakeEvent("retryQuestion"));
    if (onRetryQuestion) onRetryQuestion(controller);
  }

  std::vector<DelegateEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const auto& event : events()) result.push_back(event.name);
    return result;
  }
  bool has(const std::string& name) const {
    for (const auto& event : events()) {
      if (event.name == name) return true;
    }
    return false;
  }
  std::optional<DelegateEvent> first(const std::string& name) const {
    for (const auto& event : events()) {
      if (event.name == name) return event;
    }
    return std::nullopt;
  }
  bool finished() const { return has("didFinish"); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  void add(DelegateEvent event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<DelegateEvent> events_;
};

// The texts of an array value.
inline std::vector<std::string> Texts(const Value& value) {
  std::vector<std::string> texts;
  for (const Value& element : value.asArray()) texts.push_back(element.asString());
  return texts;
}

}  // namespace quorvel::test
