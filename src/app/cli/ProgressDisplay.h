// What the command line shows of a running command's phases on standard
// error. Two forms:
//
//  - Live (standard error is a terminal): one line, redrawn in place with
//    "\r" and erase-to-end-of-line, at most every kMinimumRedrawInterval
//    seconds. It shows the command, the phase that began last, the helper
//    steps done of planned ("__main__" progress) with their percentage, the
//    bytes moved by transfer phases, the transfer speed over the last
//    seconds, and the time left estimated from the steps' pace (or, without
//    steps, from a single transfer's known size).
//  - Lines (anything else): one line per phase type, printed when a phase of
//    that type begins for the first time, so that a log shows how far a
//    command got without one line per file.
//
// The class only formats and decides when to write: time comes from the
// clock and text goes to the sink, so it can be driven from tests. It is not
// thread-safe; the command line calls it on the main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

class ProgressDisplay {
 public:
  // Seconds on a monotonic scale.
  using Clock = std::function<double()>;
  // Receives text exactly as it is to be written.
  using Sink = std::function<void(std::string_view)>;
  enum class Mode { Live, Lines };

  static constexpr double kMinimumRedrawInterval = 0.25;
  // The speed is measured over roughly this many seconds.
  static constexpr double kSpeedWindow = 10.0;

  // width: terminal columns; the live line is cut to width - 1 characters so
  // that it never wraps (0: no limit).
  ProgressDisplay(std::string commandName, Mode mode, Clock clock, Sink sink, unsigned width = 0);

  void willBeginPhase(const std::string& type, std::uint32_t identifier);
  void didEndPhase(const std::string& type, std::uint32_t identifier);
  void didUpdatePhase(const std::string& type, std::uint32_t identifier, std::uint32_t current, std::uint32_t max);

  // A text that must appear on a line of its own (an error message): the
  // live line is erased first and drawn again at the next chance.
  void showMessage(std::string_view message);
  // While set, the live line says that the command waits for a retry
  // (retry number `attempt` of `maximum`) until the given clock time.
  void setRetryWait(std::optional<double> retryAt, unsigned attempt = 0, unsigned maximum = 0);

  // Draws what changed since the last drawing, when the redraw interval
  // allows (call it from a timer).
  void tick();
  // Erases the live line for good; later calls draw nothing.
  void finish();

  // The live line's text for the current state (without control characters).
  std::string statusLine() const;

  // Bytes moved by transfer phases so far (ended transfers plus the current
  // values of the running ones).
  std::uint64_t transferredBytes() const;

  // "45s", "2m 05s", "1h 02m".
  static std::string FormatDuration(double seconds);
  // Words a user reads for an engine phase type ("storing archives" for
  // "uploadFileArchive"); the command's own phase reads "<command> started";
  // an unknown type is shown as it is.
  static std::string PhaseDescription(const std::string& type, const std::string& command);
  // Phase types whose progress counts bytes of a transfer.
  static bool IsTransferPhase(std::string_view type);

 private:
  void changed();
  void draw();
  void erase();
  std::optional<double> bytesPerSecond() const;
  std::optional<double> secondsLeft() const;

  std::string command_;
  Mode mode_;
  Clock clock_;
  Sink sink_;
  unsigned width_;
  bool finished_ = false;

  // Live drawing.
  bool lineShown_ = false;
  bool pending_ = false;
  std::optional<double> lastDraw_;

  // Lines mode.
  std::set<std::string> announcedTypes_;

  std::string phase_;
  std::uint32_t mainCurrent_ = 0;
  std::uint32_t mainMax_ = 0;
  std::optional<double> mainStart_;
  // Running transfers: (type, identifier) -> (current, max).
  std::map<std::pair<std::string, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> transfers_;
  // Other phases with progress (item counts): (type, identifier) -> (current, max).
  std::map<std::pair<std::string, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> counters_;
  std::uint64_t finishedBytes_ = 0;
  std::deque<std::pair<double, std::uint64_t>> samples_;
  std::optional<double> retryAt_;
  unsigned retryAttempt_ = 0;
  unsigned retryMaximum_ = 0;
};

// Seconds of a monotonic clock.
double MonotonicSeconds();

// A command's progress on standard error: on a terminal a live line redrawn
// by a timer on the main run loop (or by tick(), where another loop runs),
// else one line per phase. finish() (or destruction) erases the live line.
class ProgressOutput {
 public:
  explicit ProgressOutput(const std::string& word);
  ~ProgressOutput();
  ProgressOutput(const ProgressOutput&) = delete;
  ProgressOutput& operator=(const ProgressOutput&) = delete;
  ProgressDisplay& display() { return display_; }
  void tick() { display_.tick(); }
  void finish();

 private:
  const bool live_;
  ProgressDisplay display_;
  std::shared_ptr<class Timer> redraw_;
};

}  // namespace quorvel
