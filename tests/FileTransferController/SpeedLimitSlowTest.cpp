// Speed limits measured on real transfers. The destinations are local
// folders; giving their URL a host that is neither this machine nor on the
// local network (198.51.100.7, a documentation address) makes the limits
// apply, since "file" URLs take their data from the path alone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "FileTransferController/LocalTransferController.h"
#include "FileTransferController/TransferTestSupport.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

constexpr std::size_t kChunk = 262144;  // what one read of a local file yields

std::shared_ptr<LocalTransferController> RemoteLookingController(const std::string& folder) {
  std::optional<Url> url = Url::URLWithScheme("file", "198.51.100.7", folder);
  return url ? LocalTransferController::initWithBaseURL(*url) : nullptr;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SpeedLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder / "two-mib", PseudoRandomData(8 * kChunk, 1));
    WriteFile(folder / "one-and-a-half-mib", PseudoRandomData(6 * kChunk, 2));
  }
  void TearDown() override {
    FileTransferController::setGlobalMaximumDownloadSpeed(0);
    FileTransferController::setGlobalMaximumUploadSpeed(0);
  }
  TempDir folder;
};

TEST_F(SpeedLimits, TwoConcurrentDownloadsShareTheGlobalLimit) {
  auto first = RemoteLookingController(folder.path());
  auto second = RemoteLookingController(folder.path());
  ASSERT_FALSE(first->isLocalHost());
  FileTransferController::setGlobalMaximumDownloadSpeed(100000);
  auto start = std::chrono::steady_clock::now();
  bool ok1 = false, ok2 = false;
  std::thread a([&] { ok1 = first->downloadFileFromPathToNull("two-mib"); });
  std::thread b([&] { ok2 = second->downloadFileFromPathToNull("two-mib"); });
  a.join();
  b.join();
  double elapsed = SecondsSince(start);
  ASSERT_TRUE(ok1 && ok2);
  double rate = 2.0 * 8 * kChunk / elapsed;
  std::printf("two downloads under a global limit of 100000 B/s: %.0f B/s together (%.1f s)\n", rate, elapsed);
  EXPECT_GE(rate, 80000.0);
  EXPECT_LE(rate, 120000.0);
}

TEST_F(SpeedLimits, ALocalHostIsNeverLimited) {
  auto local = LocalController(folder.path());
  ASSERT_TRUE(local->isLocalHost());
  FileTransferController::setGlobalMaximumDownloadSpeed(100000);
  FileTransferController::setGlobalMaximumUploadSpeed(100000);
  local->setMaximumDownloadSpeed(100000);
  local->setMaximumUploadSpeed(100000);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(local->downloadFileFromPathToNull("two-mib"));
  ASSERT_TRUE(local->uploadFileFromPath(folder / "two-mib", "copy"));
  // Limited, these would take more than 40 seconds.
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST_F(SpeedLimits, APerControllerLimitPacesOneTransfer) {
  auto controller = RemoteLookingController(folder.path());
  controller->setMaximumDownloadSpeed(500000);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(controller->downloadFileFromPathToNull("one-and-a-half-mib"));
  double rate = 6.0 * kChunk / SecondsSince(start);
  std::printf("download under a controller limit of 500000 B/s: %.0f B/s\n", rate);
  EXPECT_GE(rate, 400000.0);
  EXPECT_LE(rate, 520000.0);

  controller->setMaximumUploadSpeed(500000);
  controller->setEncryptionPassword(std::string("pw"));
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(controller->uploadFileFromPath(folder / "one-and-a-half-mib", "encrypted"));
  rate = 6.0 * kChunk / SecondsSince(start);
  std::printf("encrypted upload under a controller limit of 500000 B/s: %.0f B/s\n", rate);
  EXPECT_GE(rate, 400000.0);
  EXPECT_LE(rate, 520000.0);
}

TEST_F(SpeedLimits, TheControllerLimitTakesPrecedenceOverTheGlobalOne) {
  auto controller = RemoteLookingController(folder.path());
  FileTransferController::setGlobalMaximumUploadSpeed(50000);  // would take half a minute
  controller->setMaximumUploadSpeed(1000000);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(controller->uploadFileFromPath(folder / "one-and-a-half-mib", "copy"));
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST_F(SpeedLimits, ConcurrentUploadsShareTheGlobalUploadLimit) {
  auto first = RemoteLookingController(folder.path());
  auto second = RemoteLookingController(folder.path());
  FileTransferController::setGlobalMaximumUploadSpeed(1000000);
  auto start = std::chrono::steady_clock::now();
  bool ok1 = false, ok2 = false;
  std::thread a([&] { ok1 = first->uploadFileFromPath(folder / "two-mib", "a"); });
  std::thread b([&] { ok2 = second->uploadFileFromPath(folder / "two-mib", "b"); });
  a.join();
  b.join();
  double elapsed = SecondsSince(start);
  ASSERT_TRUE(ok1 && ok2);
  double rate = 2.0 * 8 * kChunk / elapsed;
  std::printf("two uploads under a global limit of 1000000 B/s: %.0f B/s together\n", rate);
  EXPECT_GE(rate, 800000.0);
  EXPECT_LE(rate, 1200000.0);
  EXPECT_EQ(ReadFile(folder / "a"), ReadFile(folder / "two-mib"));
}

}  // namespace
}  // namespace quorvel
