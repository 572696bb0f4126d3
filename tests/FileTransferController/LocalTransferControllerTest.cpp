#include "FileTransferController/LocalTransferController.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

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

// ---- A destination folder someone tampered with ----------------------------------
// Items planted where the client expects stored files: links pointing out of
// the destination, FIFOs, folders. None may be followed, waited on or read
// past its size.

enum class Planted { LinkToOutsideFile, DanglingLinkOutside, LinkToDevZero, Fifo, Folder };

struct PlantedCase {
  const char* name;
  Planted item;
  int expectedErrno;
  // Trying again cannot help while the item is there (a folder keeps
  // failing as any failed transfer does: worth a retry).
  bool permanent;
};

std::string PrintCase(const ::testing::TestParamInfo<PlantedCase>& info) { return info.param.name; }
void PrintTo(const PlantedCase& item, std::ostream* out) { *out << item.name; }

class TamperedDestination : public ::testing::TestWithParam<PlantedCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((work / "destination").c_str(), 0755), 0);
    controller = LocalController(work / "destination");
    ASSERT_TRUE(controller);
    controller->setDelegate(&delegate);
    WriteFile(outside(), "outside the destination");
  }
  std::string outside() const { return work / "outside"; }
  std::string stored(const std::string& name) const { return work / ("destination/" + name); }

  void plant(Planted item, const std::string& name) {
    std::string path = stored(name);
    switch (item) {
      case Planted::LinkToOutsideFile:
        ASSERT_EQ(symlink(outside().c_str(), path.c_str()), 0);
        break;
      case Planted::DanglingLinkOutside:
        ASSERT_EQ(symlink((work / "created-outside").c_str(), path.c_str()), 0);
        break;
      case Planted::LinkToDevZero:
        ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        break;
      case Planted::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        break;
      case Planted::Folder:
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        break;
    }
  }

  // The planted item is still what it was, and nothing outside changed.
  void expectUntouched(Planted item, const std::string& name) {
    struct stat st;
    ASSERT_EQ(lstat(stored(name).c_str(), &st), 0);
    switch (item) {
      case Planted::LinkToOutsideFile:
      case Planted::DanglingLinkOutside:
      case Planted::LinkToDevZero:
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        break;
      case Planted::Fifo:
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        break;
      case Planted::Folder:
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        break;
    }
    EXPECT_EQ(ReadFile(outside()), DataFromString("outside the destination"));
    EXPECT_NE(access((work / "created-outside").c_str(), F_OK), 0);
  }

  void expectOneFailure(int errorNumber, bool permanent) {
    ASSERT_EQ(delegate.failures, 1) << delegate.lastErrorText();
    EXPECT_EQ(delegate.errors.back().domain(), kPOSIXErrorDomain);
    EXPECT_EQ(delegate.errors.back().code(), errorNumber) << delegate.lastErrorText();
    EXPECT_EQ(delegate.errors.back().isPermanent(), permanent);
    EXPECT_EQ(delegate.successes, 0);
  }

  TempDir work;
  RecordingDelegate delegate;
  std::shared_ptr<LocalTransferController> controller;
};

TEST_P(TamperedDestination, UploadOntoAPlantedItemFailsAndWritesNothingThroughIt) {
  const PlantedCase& planted = GetParam();
  plant(planted.item, "Archive_0001.tar");
  EXPECT_FALSE(controller->uploadFileFromData(DataFromString("archive bytes"), "Archive_0001.tar"));
  expectOneFailure(planted.expectedErrno, planted.permanent);
  expectUntouched(planted.item, "Archive_0001.tar");
}

TEST_P(TamperedDestination, DownloadOfAPlantedItemFailsWithoutReadingIt) {
  const PlantedCase& planted = GetParam();
  plant(planted.item, "Revision_0001.data");
  MemoryOutputStream output;
  EXPECT_FALSE(controller->downloadFileFromPath("Revision_0001.data", static_cast<OutputStream&>(output)));
  expectOneFailure(planted.expectedErrno, planted.permanent);
  EXPECT_TRUE(output.data().empty());
  expectUntouched(planted.item, "Revision_0001.data");
}

TEST_P(TamperedDestination, DownloadIntoABufferOfAPlantedItemFails) {
  const PlantedCase& planted = GetParam();
  plant(planted.item, "Revision_0001.data");
  Data buffer(64, 0xAB);
  EXPECT_EQ(controller->downloadFileFromPathToBuffer("Revision_0001.data", buffer.data(), buffer.size()), -1);
  expectOneFailure(planted.expectedErrno, planted.permanent);
  EXPECT_EQ(buffer, Data(64, 0xAB));
}

INSTANTIATE_TEST_SUITE_P(
    Items, TamperedDestination,
    ::testing::Values(PlantedCase{"LinkToAFileOutside", Planted::LinkToOutsideFile, ELOOP, true},
                      PlantedCase{"DanglingLinkOutOfTheDestination", Planted::DanglingLinkOutside, ELOOP, true},
                      PlantedCase{"LinkToDevZero", Planted::LinkToDevZero, ELOOP, true},
                      PlantedCase{"Fifo", Planted::Fifo, EINVAL, true},
                      PlantedCase{"Folder", Planted::Folder, EISDIR, false}),
    PrintCase);

TEST_F(LocalDestination, AStoredFileIsReadNoFurtherThanItsSizeAtOpening) {
  // Whoever writes into the destination while it is read cannot make the
  // download endless: each chunk delivered appends more to the file.
  class AppendingOutput : public MemoryOutputStream {
   public:
    explicit AppendingOutput(std::string path) : path_(std::move(path)) {}
    long write(const std::uint8_t* bytes, std::size_t length) override {
      long n = MemoryOutputStream::write(bytes, length);
      if (length > 0 && appended_ < (4u << 20)) {
        int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
        if (fd >= 0) {
          Data more(256 * 1024, 0x55);
          if (::write(fd, more.data(), more.size()) > 0) appended_ += more.size();
          ::close(fd);
        }
      }
      return n;
    }
    std::size_t appended_ = 0;

   private:
    std::string path_;
  };
  Data original = PseudoRandomData(300 * 1024);
  WriteFile(dest / "Archive_0001.tar", original);
  AppendingOutput output(dest / "Archive_0001.tar");
  ASSERT_TRUE(controller->downloadFileFromPath("Archive_0001.tar", static_cast<OutputStream&>(output)))
      << delegate.lastErrorText();
  EXPECT_GT(output.appended_, 0u);
  EXPECT_EQ(output.data(), original);
}

TEST_F(LocalDestination, AFileLargerThanTheBufferIsNotReadAtAll) {
  WriteFile(dest / "Revision_0001.data", PseudoRandomData(4096));
  Data buffer(100, 0xAB);
  EXPECT_EQ(controller->downloadFileFromPathToBuffer("Revision_0001.data", buffer.data(), buffer.size()), -1);
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.errors.back().code(), EFBIG);
  EXPECT_TRUE(delegate.errors.back().isPermanent());
  EXPECT_EQ(buffer, Data(100, 0xAB));
  // A file that fits is read whole, and the bound is gone afterwards.
  WriteFile(dest / "small", "0123456789");
  EXPECT_EQ(controller->downloadFileFromPathToBuffer("small", buffer.data(), buffer.size()), 10);
  MemoryOutputStream output;
  EXPECT_TRUE(controller->downloadFileFromPath("Revision_0001.data", static_cast<OutputStream&>(output)));
  EXPECT_EQ(output.data().size(), 4096u);
}

TEST_F(LocalDestination, ListingALinkedFolderInsideTheDestinationFails) {
  TempDir elsewhere;
  WriteFile(elsewhere / "secret", "x");
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (dest / "Archives").c_str()), 0);
  EXPECT_FALSE(controller->contentsOfDirectoryAtPath("Archives"));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.errors.back().code(), ELOOP);
  EXPECT_TRUE(delegate.errors.back().isPermanent());

  // The destination folder itself may be reached through a link of the user's.
  auto throughLink = LocalController(dest / "Archives");
  ASSERT_TRUE(throughLink);
  std::optional<Dictionary> listing = throughLink->contentsOfDirectoryAtPath("");
  ASSERT_TRUE(listing);
  EXPECT_TRUE(listing->contains("secret"));
}

TEST_F(LocalDestination, MovingOrCopyingALinkFailsAndDeletingRemovesOnlyTheLink) {
  TempDir elsewhere;
  WriteFile(elsewhere / "target", "kept");
  ASSERT_EQ(symlink((elsewhere / "target").c_str(), (dest / "Uploading_Revision_0002.data").c_str()), 0);
  EXPECT_FALSE(controller->movePath("Uploading_Revision_0002.data", "Revision_0002.data"));
  EXPECT_FALSE(controller->copyPath("Uploading_Revision_0002.data", "copy"));
  ASSERT_EQ(delegate.failures, 2);
  EXPECT_EQ(delegate.errors[0].code(), ELOOP);
  EXPECT_EQ(delegate.errors[1].code(), ELOOP);
  struct stat st;
  EXPECT_NE(lstat((dest / "Revision_0002.data").c_str(), &st), 0);
  EXPECT_NE(lstat((dest / "copy").c_str(), &st), 0);
  EXPECT_TRUE(controller->deleteFileAtPath("Uploading_Revision_0002.data"));
  EXPECT_NE(lstat((dest / "Uploading_Revision_0002.data").c_str(), &st), 0);
  EXPECT_EQ(ReadFile(elsewhere / "target"), DataFromString("kept"));
}

// ---- Durability ---------------------------------------------------------------------

// Counts the folder syncs the client makes.
class SyncCountingController : public LocalTransferController {
 public:
  using LocalTransferController::LocalTransferController;
  static std::shared_ptr<SyncCountingController> create(const std::string& folder) {
    std::optional<Url> url = Url::URLWithScheme("file", "localhost", folder);
    return url ? makeController<SyncCountingController>(*url) : nullptr;
  }
  int syncs = 0;

 protected:
  int syncDescriptor(int fd) override {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ++syncs;
    return LocalTransferController::syncDescriptor(fd);
  }
};

struct SyncCase {
  const char* name;
  std::function<bool(LocalTransferController&)> operation;
  int folderSyncs;
};

TEST_F(LocalDestination, EveryChangeOfAFolderIsSyncedBeforeItSucceeds) {
  ASSERT_EQ(mkdir((dest / "sub").c_str(), 0755), 0);
  WriteFile(dest / "a", "a");
  WriteFile(dest / "b", "b");
  WriteFile(dest / "c", "c");
  const std::vector<SyncCase> cases = {
      {"create a folder", [](LocalTransferController& c) { return c.createDirectoryAtPath("new"); }, 1},
      {"rename within a folder", [](LocalTransferController& c) { return c.movePath("a", "a2"); }, 1},
      {"move to another folder", [](LocalTransferController& c) { return c.movePath("b", "sub/b"); }, 2},
      {"copy", [](LocalTransferController& c) { return c.copyPath("c", "sub/c"); }, 1},
      {"sync the destination", [](LocalTransferController& c) { return c.syncDestination(); }, 1},
  };
  for (const SyncCase& item : cases) {
    auto counting = SyncCountingController::create(dest.path());
    ASSERT_TRUE(counting);
    EXPECT_TRUE(item.operation(*counting)) << item.name;
    EXPECT_EQ(counting->syncs, item.folderSyncs) << item.name;
  }
}

}  // namespace
}  // namespace quorvel
