#include "FileTransferController/LocalTransferController.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTransferController/TransferTestSupport.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

class LocalDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = LocalController(dest.path());
    ASSERT_TRUE(controller);
    controller->setDelegate(&delegate);
  }
  TempDir dest;
  RecordingDelegate delegate;
  std::shared_ptr<LocalTransferController> controller;
};

TEST_F(LocalDestination, OffersEveryOperationButDeletingAnEmptyFolder) {
  for (TransferOperation op : {TransferOperation::ContentsOfDirectory, TransferOperation::CreateDirectory,
                               TransferOperation::DeleteFile, TransferOperation::DeleteDirectoryRecursively,
                               TransferOperation::MovePath, TransferOperation::CopyPath}) {
    EXPECT_TRUE(controller->supportsOperation(op));
  }
  EXPECT_FALSE(controller->supportsOperation(TransferOperation::DeleteDirectory));
  EXPECT_FALSE(controller->useAsyncStreams());
  EXPECT_FALSE(controller->hasAtomicUploads());
  EXPECT_EQ(controller->urlScheme(), "file");
}

TEST_F(LocalDestination, ListingShowsTypesSizesAndDatesWithoutFollowingLinks) {
  WriteFile(dest / "file", "12345");
  ASSERT_EQ(mkdir((dest / "folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink("file", (dest / "link").c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat((dest / "file").c_str(), &st), 0);

  std::optional<Dictionary> listing = controller->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing) << delegate.lastErrorText();
  EXPECT_EQ(listing->size(), 3u);
  const Dictionary& file = (*listing)["file"].asDictionary();
  EXPECT_EQ(file[kFileType].asString(), kFileTypeRegular);
  EXPECT_EQ(file[kFileSize].asInt(), 5);
  EXPECT_NEAR(file[kFileModificationDate].asDate().timeIntervalSince1970(), static_cast<double>(st.st_mtime), 1.0);
  EXPECT_TRUE(file[kFileCreationDate].isDate());
  EXPECT_EQ((*listing)["folder"].asDictionary()[kFileType].asString(), kFileTypeDirectory);
  EXPECT_EQ((*listing)["link"].asDictionary()[kFileType].asString(), kFileTypeSymbolicLink);
  EXPECT_EQ(delegate.starts, 1);
  EXPECT_EQ(delegate.successes, 1);
}

TEST_F(LocalDestination, ListingAMissingFolderReportsTheFileSystemError) {
  EXPECT_FALSE(controller->contentsOfDirectoryAtPath("missing"));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.errors.back().domain(), kPOSIXErrorDomain);
  EXPECT_EQ(delegate.errors.back().code(), ENOENT);
}

TEST_F(LocalDestination, CreatesExactlyOneFolderLevel) {
  EXPECT_TRUE(controller->createDirectoryAtPath("a"));
  struct stat st;
  EXPECT_EQ(stat((dest / "a").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(controller->createDirectoryAtPath("x/y"));  // no intermediate folders
  EXPECT_FALSE(controller->createDirectoryAtPath("a"));    // exists already
  EXPECT_EQ(delegate.errors.back().code(), EEXIST);
  EXPECT_EQ(delegate.successes, 1);
  EXPECT_EQ(delegate.failures, 2);
}

TEST_F(LocalDestination, MovingOntoAnExistingDestinationReplacesIt) {
  WriteFile(dest / "new", "new");
  WriteFile(dest / "old", "old");
  EXPECT_TRUE(controller->movePath("new", "old"));
  EXPECT_EQ(ReadFile(dest / "old"), DataFromString("new"));
  EXPECT_NE(access((dest / "new").c_str(), F_OK), 0);

  ASSERT_EQ(mkdir((dest / "dir").c_str(), 0755), 0);
  WriteFile(dest / "dir/inner", "i");
  ASSERT_EQ(mkdir((dest / "target").c_str(), 0755), 0);
  WriteFile(dest / "target/stale", "s");
  EXPECT_TRUE(controller->movePath("dir", "target"));
  EXPECT_EQ(ReadFile(dest / "target/inner"), DataFromString("i"));
  EXPECT_NE(access((dest / "target/stale").c_str(), F_OK), 0);
  EXPECT_FALSE(controller->movePath("gone", "elsewhere"));
}

TEST_F(LocalDestination, CopiesFilesAndFoldersRecursively) {
  ASSERT_EQ(mkdir((dest / "dir").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dest / "dir/sub").c_str(), 0755), 0);
  WriteFile(dest / "dir/sub/f", "deep");
  WriteFile(dest / "copy", "to be replaced");
  EXPECT_TRUE(controller->copyPath("dir", "copy"));
  EXPECT_EQ(ReadFile(dest / "copy/sub/f"), DataFromString("deep"));
  EXPECT_EQ(ReadFile(dest / "dir/sub/f"), DataFromString("deep"));
  EXPECT_TRUE(controller->copyPath("dir/sub/f", "single"));
  EXPECT_EQ(ReadFile(dest / "single"), DataFromString("deep"));
}

TEST_F(LocalDestination, DeletingAMissingItemSucceedsAndFoldersGoWithTheirContents) {
  EXPECT_TRUE(controller->deleteFileAtPath("missing"));
  ASSERT_EQ(mkdir((dest / "dir").c_str(), 0755), 0);
  WriteFile(dest / "dir/f", "x");
  EXPECT_TRUE(controller->deleteDirectoryRecursivelyAtPath("dir"));
  EXPECT_NE(access((dest / "dir").c_str(), F_OK), 0);
  WriteFile(dest / "f", "x");
  EXPECT_TRUE(controller->deleteFileAtPath("/f"));
  EXPECT_NE(access((dest / "f").c_str(), F_OK), 0);
  EXPECT_EQ(delegate.successes, 3);
  EXPECT_EQ(delegate.failures, 0);
}

TEST_F(LocalDestination, DownloadOfAMissingFileFailsWithoutCallbacks) {
  MemoryOutputStream output;
  EXPECT_FALSE(controller->downloadFileFromPath("missing", static_cast<OutputStream&>(output)));
  EXPECT_EQ(delegate.starts, 0);
  EXPECT_EQ(delegate.failures, 0);
}

TEST_F(LocalDestination, UploadReplacesAnExistingFileAndFailsIntoAMissingFolder) {
  WriteFile(dest / "f", "a much longer old content");
  EXPECT_TRUE(controller->uploadFileFromData(DataFromString("short"), "f"));
  EXPECT_EQ(ReadFile(dest / "f"), DataFromString("short"));
  EXPECT_FALSE(controller->uploadFileFromData(DataFromString("x"), "no/such/folder/f"));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.errors.back().code(), ENOENT);
}

TEST_F(LocalDestination, AStartedStreamIsRefused) {
  MemoryInputStream input(DataFromString("x"));
  input.open();
  EXPECT_FALSE(controller->uploadFileToPath("f", input));
  EXPECT_NE(access((dest / "f").c_str(), F_OK), 0);
}

TEST_F(LocalDestination, PathsWithSpacesAndUnicodeRoundTrip) {
  auto controller2 = LocalController(dest.path() + "/Backup Folder ü");
  ASSERT_EQ(mkdir((dest / "Backup Folder ü").c_str(), 0755), 0);
  ASSERT_TRUE(controller2);
  EXPECT_TRUE(controller2->uploadFileFromData(DataFromString("z"), "a file ß"));
  EXPECT_EQ(ReadFile(dest / "Backup Folder ü/a file ß"), DataFromString("z"));
  std::optional<Dictionary> listing = controller2->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing);
  EXPECT_TRUE(listing->contains("a file ß"));
}

}  // namespace
}  // namespace quorvel
