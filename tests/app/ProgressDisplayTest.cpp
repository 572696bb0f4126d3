// The progress display driven by hand: an injected clock and a string sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/ProgressDisplay.h"
#include "engine/BackupStorage.h"
#include "engine/PhaseProgress.h"

namespace quorvel {
namespace {

class ProgressDisplayTest : public ::testing::Test {
 protected:
  ProgressDisplay Make(ProgressDisplay::Mode mode, unsigned width = 0) {
    return ProgressDisplay(
        "backup", mode, [this] { return now; }, [this](std::string_view text) { writes.emplace_back(text); },
        width);
  }
  // Everything written so far, as one text.
  std::string Output() const {
    std::string all;
    for (const std::string& write : writes) all += write;
    return all;
  }
  // Number of live-line drawings (a drawing ends with erase-to-end-of-line
  // after some text).
  int Drawings() const {
    int count = 0;
    for (const std::string& write : writes) {
      if (write.size() > 4 && write.front() == '\r' && write.ends_with("\033[K")) ++count;
    }
    return count;
  }

  double now = 100.0;
  std::vector<std::string> writes;
};

TEST_F(ProgressDisplayTest, LiveLineIsRedrawnAtMostFourTimesASecond) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("__main__", 0);
  display.didUpdatePhase("__main__", 0, 0, 1000);
  int first = Drawings();
  EXPECT_EQ(first, 1);
  // 100 updates within 0.2 s: none of them is drawn.
  for (unsigned i = 1; i <= 100; ++i) {
    now += 0.002;
    display.didUpdatePhase("__main__", 0, i, 1000);
  }
  EXPECT_EQ(Drawings(), first);
  display.tick();
  EXPECT_EQ(Drawings(), first);
  // Once a quarter of a second has passed, the pending change is drawn by the tick.
  now += 0.06;
  display.tick();
  EXPECT_EQ(Drawings(), first + 1);
  EXPECT_NE(writes.back().find("100/1000 items"), std::string::npos) << writes.back();
  // Nothing changed: a tick draws nothing new before the refresh second.
  now += 0.3;
  display.tick();
  EXPECT_EQ(Drawings(), first + 1);

  // Over ten seconds of constant updates, at most 4 drawings per second.
  int before = Drawings();
  for (int i = 0; i < 1000; ++i) {
    now += 0.01;
    display.didUpdatePhase("__main__", 0, 100 + static_cast<unsigned>(i) / 2, 1000);
    if (i % 7 == 0) display.tick();
  }
  int drawn = Drawings() - before;
  EXPECT_LE(drawn, 41);
  EXPECT_GE(drawn, 30);
}

TEST_F(ProgressDisplayTest, LiveLineShowsPhaseStepsBytesSpeedAndTimeLeft) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("__main__", 0);
  display.didUpdatePhase("__main__", 0, 0, 200);
  display.willBeginPhase("uploadFilePart", (7u << 24) | 1);
  // 1 MiB per second for 10 seconds, 5 steps per second.
  for (int second = 1; second <= 10; ++second) {
    now += 1.0;
    display.didUpdatePhase("uploadFilePart", (7u << 24) | 1, static_cast<std::uint32_t>(second) << 20, 50u << 20);
    display.didUpdatePhase("__main__", 0, static_cast<std::uint32_t>(second) * 5, 200);
  }
  std::string line = display.statusLine();
  EXPECT_EQ(line, "backup | storing large files in parts | 25% 50/200 items | 10.0 MB | 1.0 MB/s | 30s left");
}

TEST_F(ProgressDisplayTest, BytesOfEndedTransfersAreKeptAndRunningOnesAdded) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("uploadFileArchive", 1);
  display.didUpdatePhase("uploadFileArchive", 1, 4000, 4000);
  display.didEndPhase("uploadFileArchive", 1);
  display.willBeginPhase("uploadFileArchive", 2);
  display.didUpdatePhase("uploadFileArchive", 2, 1000, 8000);
  display.willBeginPhase("uploadFilePart", 1u << 24 | 1);
  display.didUpdatePhase("uploadFilePart", 1u << 24 | 1, 500, 9000);
  EXPECT_EQ(display.transferredBytes(), 5500u);
  // Item counts of other phases are not bytes.
  display.willBeginPhase("deleteSpareBackupFiles", 0);
  display.didUpdatePhase("deleteSpareBackupFiles", 0, 3, 10);
  EXPECT_EQ(display.transferredBytes(), 5500u);
  display.didEndPhase("uploadFilePart", 1u << 24 | 1);
  display.didEndPhase("uploadFileArchive", 2);
  EXPECT_EQ(display.transferredBytes(), 5500u);
}

TEST_F(ProgressDisplayTest, ALoneTransferShowsItsSizeAndTimeLeft) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("checkDestination", 0);
  display.didEndPhase("checkDestination", 0);
  display.willBeginPhase("downloadBackupInfo", 0);
  now += 2.0;
  display.didUpdatePhase("downloadBackupInfo", 0, 2u << 20, 8u << 20);
  EXPECT_EQ(display.statusLine(), "backup | reading the stored snapshot | 2.0 MB of 8.0 MB | 1.0 MB/s | 6s left");
}

TEST_F(ProgressDisplayTest, ItemCountPhasesShowTheirCount) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("deleteBackupFiles", 0);
  display.didUpdatePhase("deleteBackupFiles", 0, 12, 40);
  EXPECT_EQ(display.statusLine(), "backup | deleting stored files | 12/40 items");
}

TEST_F(ProgressDisplayTest, TheLineIsCutToTheTerminalWidth) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live, 20);
  display.willBeginPhase("deleteSpareBackupFiles", 0);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), "\rbackup | removing f\033[K");
}

TEST_F(ProgressDisplayTest, MessagesEraseTheLiveLineAndAppearOnTheirOwnLine) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.willBeginPhase("scanSource", 0);
  writes.clear();
  display.showMessage("Failed reading \"x\"");
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[0], "\r\033[K");
  EXPECT_EQ(writes[1], "Failed reading \"x\"\n");
  // Redrawn at the next chance.
  now += 0.3;
  display.tick();
  EXPECT_EQ(writes.back(), "\rbackup | scanning the source\033[K");
  // finish erases the line; nothing is drawn afterwards.
  display.finish();
  EXPECT_EQ(writes.back(), "\r\033[K");
  std::size_t count = writes.size();
  now += 5;
  display.willBeginPhase("uploadBackupData", 0);
  display.tick();
  EXPECT_EQ(writes.size(), count);
}

TEST_F(ProgressDisplayTest, RetryWaitCountsDown) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Live);
  display.setRetryWait(now + 20.0, 2, 6);
  EXPECT_EQ(display.statusLine(), "backup | network error, retrying in 20s (retry 2 of 6)");
  now += 5.2;
  display.tick();
  EXPECT_EQ(writes.back(), "\rbackup | network error, retrying in 15s (retry 2 of 6)\033[K");
  display.setRetryWait(std::nullopt);
  EXPECT_EQ(display.statusLine(), "backup");
}

TEST_F(ProgressDisplayTest, LinesModePrintsEachPhaseTypeOnceAndNoControlCharacters) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Lines);
  display.willBeginPhase("checkDestination", 0);
  display.didEndPhase("checkDestination", 0);
  display.willBeginPhase("downloadBackupInfo", 0);
  display.didUpdatePhase("downloadBackupInfo", 0, 10, 100);
  display.didEndPhase("downloadBackupInfo", 0);
  display.willBeginPhase("scanSource", 0);
  display.willBeginPhase("__main__", 0);
  for (std::uint32_t file = 1; file <= 3; ++file) {
    display.willBeginPhase("uploadFilePart", file << 24 | 1);
    display.didUpdatePhase("uploadFilePart", file << 24 | 1, 5, 5);
    display.didEndPhase("uploadFilePart", file << 24 | 1);
  }
  display.showMessage("a message");
  display.tick();
  display.finish();
  EXPECT_EQ(Output(),
            "checking the destination\nreading the stored snapshot\nscanning the source\nbackup started\n"
            "storing large files in parts\na message\n");
}

// Every phase the engine announces has words of its own.
TEST(ProgressDisplayFormat, EveryEnginePhaseReadsAsWords) {
  for (const char* type :
       {kPhasePreExecutable, kPhasePostExecutable, kPhaseCheckDestination, kPhaseDownloadBackupInfo,
        kPhaseScanSource, kPhaseUploadFileMetadata, kPhaseUploadFilePart, kPhaseComputeFileDigest,
        kPhaseComputeArchiveDigest, kPhaseCreateFileArchive, kPhaseUploadFileArchive, kPhaseUploadBackupData,
        kPhaseVerifyBackupInfo, kPhaseDeleteSpareBackupFiles, kPhaseDownloadFilePart, kPhaseDownloadFileMetadata,
        kPhaseDownloadFileArchive, kPhaseExtractFileArchive, kPhaseVerifyBackupFile, kPhaseDeleteBackupData,
        kPhaseDeleteBackupFiles}) {
    std::string words = ProgressDisplay::PhaseDescription(type, "backup");
    EXPECT_NE(words, type);
    EXPECT_EQ(words.find_first_of("_ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << words;
  }
  EXPECT_EQ(ProgressDisplay::PhaseDescription(kPhaseMain, "restore"), "restore started");
}

TEST(ProgressDisplayFormat, DurationsAndTransferPhases) {
  EXPECT_EQ(ProgressDisplay::FormatDuration(0), "0s");
  EXPECT_EQ(ProgressDisplay::FormatDuration(-3), "0s");
  EXPECT_EQ(ProgressDisplay::FormatDuration(59.4), "59s");
  EXPECT_EQ(ProgressDisplay::FormatDuration(125), "2m 05s");
  EXPECT_EQ(ProgressDisplay::FormatDuration(3725), "1h 02m");
  EXPECT_TRUE(ProgressDisplay::IsTransferPhase("uploadFilePart"));
  EXPECT_TRUE(ProgressDisplay::IsTransferPhase("downloadFileArchive"));
  EXPECT_TRUE(ProgressDisplay::IsTransferPhase("verifyBackupFile"));
  EXPECT_FALSE(ProgressDisplay::IsTransferPhase("deleteSpareBackupFiles"));
  EXPECT_FALSE(ProgressDisplay::IsTransferPhase("__main__"));
}

TEST_F(ProgressDisplayTest, MessagesShowControlCharactersEscaped) {
  ProgressDisplay display = Make(ProgressDisplay::Mode::Lines);
  display.showMessage("Failed restoring \"\x1b]0;owned\x07name\"");
  EXPECT_EQ(Output(), "Failed restoring \"\\x1b]0;owned\\x07name\"\n");
}

}  // namespace
}  // namespace quorvel
