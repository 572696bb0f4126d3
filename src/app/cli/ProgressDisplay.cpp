#include "app/cli/ProgressDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "app/cli/CheckSourceCommand.h"
#include "foundation/Format.h"
#include "foundation/RunLoop.h"

namespace quorvel {

namespace {

constexpr const char* kMainPhase = "__main__";
// Without a change, the live line is still refreshed this often (speed and
// time left move with the clock).
constexpr double kRefreshInterval = 1.0;

std::string Join(const std::vector<std::string>& parts) {
  std::string line;
  for (const std::string& part : parts) {
    if (!line.empty()) line += " | ";
    line += part;
  }
  return line;
}

}  // namespace

ProgressDisplay::ProgressDisplay(std::string commandName, Mode mode, Clock clock, Sink sink, unsigned width)
    : command_(std::move(commandName)), mode_(mode), clock_(std::move(clock)), sink_(std::move(sink)),
      width_(width) {}

bool ProgressDisplay::IsTransferPhase(std::string_view type) {
  return type.starts_with("upload") || type.starts_with("download") || type == "verifyBackupFile";
}

std::string ProgressDisplay::FormatDuration(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  unsigned long long whole = static_cast<unsigned long long>(std::llround(seconds));
  char text[48];
  if (whole < 60) {
    std::snprintf(text, sizeof text, "%llus", whole);
  } else if (whole < 3600) {
    std::snprintf(text, sizeof text, "%llum %02llus", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lluh %02llum", whole / 3600, (whole % 3600) / 60);
  }
  return text;
}

std::string ProgressDisplay::PhaseDescription(const std::string& type, const std::string& command) {
  static const std::map<std::string, std::string, std::less<>> kWords{
      {kMainPhase, ""},
      {"__pre__", "running the command before"},
      {"__post__", "running the command after"},
      {"checkDestination", "checking the destination"},
      {"downloadBackupInfo", "reading the stored snapshot"},
      {"scanSource", "scanning the source"},
      {"uploadFileMetadata", "storing file metadata"},
      {"uploadFilePart", "storing large files in parts"},
      {"computeFileDigest", "computing file digests"},
      {"computeArchiveDigest", "computing archive digests"},
      {"createFileArchive", "packing small files into archives"},
      {"uploadFileArchive", "storing archives"},
      {"uploadBackupData", "storing the snapshot"},
      {"verifyBackupInfo", "checking the stored snapshot"},
      {"deleteSpareBackupFiles", "removing files no longer needed"},
      {"downloadFilePart", "fetching large files"},
      {"downloadFileMetadata", "fetching file metadata"},
      {"downloadFileArchive", "fetching archives"},
      {"extractFileArchive", "unpacking archives"},
      {"verifyBackupFile", "verifying stored files"},
      {"deleteBackupData", "deleting the snapshot"},
      {"deleteBackupFiles", "deleting stored files"},
  };
  auto found = kWords.find(type);
  if (found == kWords.end()) return type;
  return found->second.empty() ? command + " started" : found->second;
}

void ProgressDisplay::willBeginPhase(const std::string& type, std::uint32_t identifier) {
  if (finished_) return;
  if (mode_ == Mode::Lines) {
    if (announcedTypes_.insert(type).second) sink_(PhaseDescription(type, command_) + "\n");
    return;
  }
  if (type != kMainPhase) phase_ = type;
  if (IsTransferPhase(type)) {
    transfers_[{type, identifier}] = {0, 0};
    samples_.emplace_back(clock_(), transferredBytes());
  }
  changed();
}

void ProgressDisplay::didEndPhase(const std::string& type, std::uint32_t identifier) {
  if (finished_ || mode_ == Mode::Lines) return;
  auto transfer = transfers_.find({type, identifier});
  if (transfer != transfers_.end()) {
    finishedBytes_ += transfer->second.first;
    transfers_.erase(transfer);
  }
  counters_.erase({type, identifier});
  changed();
}

void ProgressDisplay::didUpdatePhase(const std::string& type, std::uint32_t identifier, std::uint32_t current,
                                     std::uint32_t max) {
  if (finished_ || mode_ == Mode::Lines) return;
  double now = clock_();
  if (type == kMainPhase) {
    if (max > 0 && (current == 0 || !mainStart_)) mainStart_ = now;
    mainCurrent_ = current;
    mainMax_ = max;
  } else if (IsTransferPhase(type)) {
    transfers_[{type, identifier}] = {current, max};
    samples_.emplace_back(now, transferredBytes());
    while (samples_.size() > 1 && samples_[1].first <= now - kSpeedWindow) samples_.pop_front();
  } else {
    counters_[{type, identifier}] = {current, max};
  }
  changed();
}

void ProgressDisplay::showMessage(std::string_view message) {
  if (mode_ == Mode::Live) erase();
  std::string text = EscapeControlCharacters(message);
  text += '\n';
  sink_(text);
  if (mode_ == Mode::Live && !finished_) changed();
}

void ProgressDisplay::setRetryWait(std::optional<double> retryAt, unsigned attempt, unsigned maximum) {
  retryAt_ = retryAt;
  retryAttempt_ = attempt;
  retryMaximum_ = maximum;
  if (mode_ == Mode::Lines) {
    if (retryAt) {
      sink_("network error: retrying in " + FormatDuration(*retryAt - clock_()) + " (retry " +
            std::to_string(attempt) + " of " + std::to_string(maximum) + ")\n");
    }
    return;
  }
  if (!finished_) changed();
}

std::uint64_t ProgressDisplay::transferredBytes() const {
  std::uint64_t bytes = finishedBytes_;
  for (const auto& [key, progress] : transfers_) bytes += progress.first;
  return bytes;
}

std::optional<double> ProgressDisplay::bytesPerSecond() const {
  if (samples_.empty()) return std::nullopt;
  double elapsed = clock_() - samples_.front().first;
  if (elapsed < 1.0) return std::nullopt;
  std::uint64_t bytes = transferredBytes();
  std::uint64_t start = samples_.front().second;
  return bytes > start ? static_cast<double>(bytes - start) / elapsed : 0.0;
}

std::optional<double> ProgressDisplay::secondsLeft() const {
  double now = clock_();
  if (mainMax_ > 0) {
    if (!mainStart_ || mainCurrent_ == 0 || mainCurrent_ >= mainMax_) return std::nullopt;
    double elapsed = now - *mainStart_;
    if (elapsed < 1.0) return std::nullopt;
    return elapsed * static_cast<double>(mainMax_ - mainCurrent_) / static_cast<double>(mainCurrent_);
  }
  // A lone transfer of known size (the revision data, say).
  if (transfers_.size() != 1) return std::nullopt;
  const auto& [current, max] = transfers_.begin()->second;
  std::optional<double> speed = bytesPerSecond();
  if (max == 0 || current >= max || !speed || *speed <= 0) return std::nullopt;
  return static_cast<double>(max - current) / *speed;
}

std::string ProgressDisplay::statusLine() const {
  std::vector<std::string> parts{command_};
  if (retryAt_) {
    parts.push_back("network error, retrying in " + FormatDuration(*retryAt_ - clock_()) + " (retry " +
                    std::to_string(retryAttempt_) + " of " + std::to_string(retryMaximum_) + ")");
    return Join(parts);
  }
  if (!phase_.empty()) parts.push_back(PhaseDescription(phase_, command_));
  char text[96];
  if (mainMax_ > 0) {
    unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(mainCurrent_) * 100 / mainMax_);
    std::snprintf(text, sizeof text, "%u%% %u/%u items", percent, mainCurrent_, mainMax_);
    parts.push_back(text);
  } else {
    auto counter = counters_.find({phase_, 0});
    if (counter != counters_.end() && counter->second.second > 0) {
      std::snprintf(text, sizeof text, "%u/%u items", counter->second.first, counter->second.second);
      parts.push_back(text);
    }
  }
  std::uint64_t bytes = transferredBytes();
  if (mainMax_ == 0 && transfers_.size() == 1 && transfers_.begin()->second.second > 0) {
    const auto& [current, max] = transfers_.begin()->second;
    parts.push_back(HumanReadableSize(current) + " of " + HumanReadableSize(max));
  } else if (bytes > 0) {
    parts.push_back(HumanReadableSize(bytes));
  }
  if (std::optional<double> speed = bytesPerSecond()) {
    parts.push_back(HumanReadableSize(static_cast<unsigned long long>(*speed)) + "/s");
  }
  if (std::optional<double> left = secondsLeft()) parts.push_back(FormatDuration(*left) + " left");
  return Join(parts);
}

void ProgressDisplay::changed() {
  pending_ = true;
  tick();
}

void ProgressDisplay::tick() {
  if (finished_ || mode_ != Mode::Live) return;
  double now = clock_();
  double sinceDraw = lastDraw_ ? now - *lastDraw_ : kRefreshInterval;
  bool stale = lineShown_ && sinceDraw >= kRefreshInterval;
  if ((pending_ || stale || retryAt_) && sinceDraw >= kMinimumRedrawInterval) draw();
}

void ProgressDisplay::draw() {
  std::string line = statusLine();
  if (width_ > 1 && line.size() > width_ - 1) line.resize(width_ - 1);
  sink_("\r" + line + "\033[K");
  lineShown_ = true;
  pending_ = false;
  lastDraw_ = clock_();
}

void ProgressDisplay::erase() {
  if (!lineShown_) return;
  sink_("\r\033[K");
  lineShown_ = false;
}

void ProgressDisplay::finish() {
  if (mode_ == Mode::Live) erase();
  finished_ = true;
}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

unsigned TerminalWidth() {
  winsize size{};
  if (!::isatty(STDERR_FILENO) || ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

}  // namespace

ProgressOutput::ProgressOutput(const std::string& word)
    : live_(::isatty(STDERR_FILENO)),
      display_(word, live_ ? ProgressDisplay::Mode::Live : ProgressDisplay::Mode::Lines, MonotonicSeconds,
               [](std::string_view text) {
                 std::fwrite(text.data(), 1, text.size(), stderr);
                 std::fflush(stderr);
               },
               TerminalWidth()) {
  if (!live_) return;
  redraw_ = Timer::withTimeInterval(ProgressDisplay::kMinimumRedrawInterval, true, [this](Timer&) { display_.tick(); });
  RunLoop::main().addTimer(redraw_, kRunLoopCommonModes);
}

ProgressOutput::~ProgressOutput() { finish(); }

void ProgressOutput::finish() {
  if (redraw_) redraw_->invalidate();
  redraw_.reset();
  display_.finish();
}

}  // namespace quorvel
