// Helper steps: the per-file transfers of the destination commands, run in
// parallel on the controller's helper queue, each with a transfer client of
// its own.
//
// A step is made with its main operation (the command, not owned: it waits
// for all its steps before it ends), a source (a snapshot item, a list of
// items, a destination name or an archive slot, held as a Value), an index
// (file index, archive index or step number) and step-specific arguments. It
// never changes them; a retry is a fresh copy (freshCopy()).
//
// main() tells the command helperOperationDidBegin, creates the step's client
// for the destination URL (time-out 60 s, speeds x 1024, the password,
// digest computation on, the step as delegate), calls
// runWithFileTransferController and reports the code with
// helperOperationDidEnd. No client: "Failed setting up file transfer to
// destination URL "%@"" and -1. An exception: "[Internal Error] An exception
// occured: %@" and -2.
//
// The code tells the command what happens next:
//   HelperResultAbort           -2  stop the whole command
//   HelperResultNetworkFailure  -1  retry this step at the front of the queue
//                                   when shouldRetryAfterNetworkError says yes,
//                                   else stop the command
//   HelperResultDone             0  finished (perhaps by skipping its file)
//   HelperResultRestartFile      1  part steps only: the file changed, store or
//                                   fetch the whole file again (at the end)
//   HelperResultRetry            2  try this step again later (at the end)
//   HelperResultContinue         3  finished; run nextOperation next (at the front)
//
// How a command uses them (see RemoteBackupOperation's helper step support):
//
//   auto file = std::make_shared<RemoteBackupUploadFileOperation>(
//       this, Value(item), fileIndex, Array{Value(baseName)});
//   addPendingOperation(file);
//   addToPhaseMax(item->dataSize() / segmentSize + 2);
//   ...
//   bool ok = runOperations();
//
// Chains: a step's nextOperation enters the queue at the front when the step
// answers 3 (upload file -> part 1 -> part 2 ...; download parts -> finishing
// step; archive creation -> upload; archive download -> extraction).
//
// Arguments of each step class (Array elements in this order; "absent"
// means a null Value):
//   RemoteBackupUploadFileOperation      source item; [base name]
//   RemoteBackupUploadPartOperation      source item; [base name, upload state
//                                        (FileUploadState data), part number,
//                                        offset (u64), length (unsigned)]
//   RemoteBackupUploadArchiveOperation   source slot; [compress flag (bool)]
//   RemoteBackupVerifyOperation          source name; [upload information value]
//   RemoteBackupDownloadPartOperation    source item; [destination directory,
//                                        part number, part name, expected
//                                        digest (16-byte data or absent)]
//   RemoteBackupDownloadFileOperation    source item; [destination directory,
//                                        metadata name (or absent), expected
//                                        metadata digest (or absent)]
//   RemoteBackupDownloadArchiveOperation source archive name; [slot, expected
//                                        digest (or absent)]
// Items are DirectoryItem objects of the command's snapshot with paths
// relative to its root; slots are ArchiveSlot objects.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FileTransferController/DataStream.h"
#include "FileTransferController/FileTransferController.h"
#include "engine/RemoteBackupOperation.h"
#include "foundation/Data.h"
#include "foundation/Operation.h"
#include "foundation/Value.h"
#include "snapshot/DirectoryItem.h"

namespace quorvel {

enum HelperResult : int {
  HelperResultAbort = -2,
  HelperResultNetworkFailure = -1,
  HelperResultDone = 0,
  HelperResultRestartFile = 1,
  HelperResultRetry = 2,
  HelperResultContinue = 3,
};

// ---- Archive data slots -------------------------------------------------------

// One cell through which an archive's bytes pass from the step that makes or
// downloads them to the step that uploads or extracts them. Thread-safe.
class ArchiveSlot : public Object {
 public:
  void put(Data data);
  // The bytes, leaving the slot empty; nothing when empty.
  std::optional<Data> take();
  // The bytes without copying them (the slot keeps them); null when empty.
  std::shared_ptr<const Data> data() const;
  bool isEmpty() const;
  // Empties the slot and releases its bytes.
  void clear();
  std::string className() const override { return "ArchiveSlot"; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Data> data_;
};
using ArchiveSlotPtr = std::shared_ptr<ArchiveSlot>;

// The slots of one command run: at most kMaximumArchiveSlots.
class ArchiveSlots {
 public:
  static constexpr std::size_t kMaximumArchiveSlots = 100000;
  // A new empty slot; raises InternalInconsistency "Maximum number of
  // results reached" when all are in use.
  ArchiveSlotPtr nextSlot();
  std::size_t count() const { return slots_.size(); }
  // Empties every slot (what a run leaves in them is released).
  void releaseAll();

 private:
  std::vector<ArchiveSlotPtr> slots_;
};

// ---- The digest of a file as its parts read it -----------------------------------

// The MD5 of a file's bytes as its part steps read them, in order, so that
// the last part can compare it with the digest the file step took instead of
// reading the whole file once more. A part read again (its upload failed and
// is retried) starts over from the state before it; a part that starts
// anywhere else puts the digest out of use, and the last part then reads the
// file as before. The parts of one file run one after another, never at once.
class RunningFileDigest : public Object {
 public:
  RunningFileDigest();
  ~RunningFileDigest() override;
  // A part begins at `offset`.
  void beginPart(std::uint64_t offset);
  // Bytes the part read, in order.
  void add(const std::uint8_t* bytes, std::size_t length);
  // The digest when it covers exactly the file's first `size` bytes and
  // nothing else; nothing otherwise.
  std::optional<std::array<std::uint8_t, 16>> digestOfFirst(std::uint64_t size) const;
  std::string className() const override { return "RunningFileDigest"; }

 private:
  struct Contexts;
  std::unique_ptr<Contexts> contexts_;
  std::uint64_t consumed_ = 0;
  std::uint64_t partStart_ = 0;
  bool usable_ = true;
};
using RunningFileDigestPtr = std::shared_ptr<RunningFileDigest>;

// ---- File upload state ----------------------------------------------------------

// What a file step hands its part steps: the modification time when the file
// step examined the file, and the digest it computed (zero when digests are
// off). 24 bytes: seconds and nanoseconds (32 bits each, host order), digest.
struct FileUploadState {
  std::uint32_t modificationSeconds = 0;
  std::uint32_t modificationNanoseconds = 0;
  std::array<std::uint8_t, 16> digest{};

  Data encode() const;
  static std::optional<FileUploadState> decode(const Data& data);
  bool sameModificationTime(const FileUploadState& other) const {
    return modificationSeconds == other.modificationSeconds &&
           modificationNanoseconds == other.modificationNanoseconds;
  }
};

// The modification time of a path, not following links; zero when lstat fails.
FileUploadState ModificationStateOfPath(const std::string& path, int* error = nullptr);

// ---- The base step ----------------------------------------------------------------

class RemoteBackupHelperOperation : public Operation, public FileTransferControllerDelegate {
 public:
  RemoteBackupHelperOperation(RemoteBackupOperation* mainOperation, Value source, std::uint32_t index,
                              Array arguments);
  ~RemoteBackupHelperOperation() override;

  void main() override;

  // The step's work with its own client; a HelperResult code. The base
  // raises (a class that does not implement it).
  virtual int runWithFileTransferController(FileTransferController& controller);

  // A new step of the same class with the same source, index, arguments and
  // next step (for retries).
  virtual std::shared_ptr<RemoteBackupHelperOperation> freshCopy() const = 0;
  virtual const char* className() const { return "RemoteBackupHelperOperation"; }
  // "<ClassName - index>"
  std::string description() const;

  RemoteBackupOperation& mainOperation() const { return *mainOperation_; }
  const Value& source() const { return source_; }
  std::uint32_t index() const { return index_; }
  const Array& arguments() const { return arguments_; }
  // The argument at position i, or a null Value.
  const Value& argument(std::size_t i) const;
  // The source as a snapshot item (null when it is not one).
  DirectoryItemPtr sourceItem() const { return source_.object<DirectoryItem>(); }

  const std::shared_ptr<RemoteBackupHelperOperation>& nextOperation() const { return nextOperation_; }
  void setNextOperation(std::shared_ptr<RemoteBackupHelperOperation> operation) {
    nextOperation_ = std::move(operation);
  }

  // Transfer client delegate: progress under currentPhase/currentIndex,
  // abort when cancelled during a phase, failures logged by the command.
  void fileTransferControllerDidUpdateProgress(FileTransferController& controller) override;
  bool fileTransferControllerShouldAbort(FileTransferController& controller) override;
  void fileTransferControllerDidFail(FileTransferController& controller, const Error& error) override;

  // ---- Utilities of every step ----

  // Stores the client's last transfer (stored size, digest) under the name
  // in "backupFiles". False after "Failed retrieving upload data size for
  // "%@"" or "Failed computing upload data digest for "%@"".
  bool saveInfoForFileTransferController(FileTransferController& controller, const std::string& name);
  // MD5 of a file's data fork, or of a link's target text. With a non-zero
  // file index the reading is reported in phase "computeFileDigest". False
  // after "Failed computing digest for backed up file "%@"[ (%s)]" (also
  // when cancelled).
  bool computeDigestForFile(const std::string& path, std::uint64_t dataSize, bool isSymLink, std::uint32_t fileIndex,
                            std::uint8_t outBytes[16]);
  // Compares a restored file with its snapshot item: first its type (a
  // mismatch fails, verification on or off), then sizes; for archive
  // members (file index 0) ACL text and extended attributes; with digests on,
  // the digest against the storage record. The type alone is checked when
  // the command argument "skipVerification" is true.
  bool verifyRestoredFile(const DirectoryItem& item, const std::string& path, std::uint32_t fileIndex);

 protected:
  // Runs fn with currentPhase/currentIndex set, inside willBegin/didEnd of
  // the phase.
  template <typename Function>
  auto inPhase(const char* phase, std::uint32_t identifier, Function&& fn) {
    beginStepPhase(phase, identifier);
    struct End {
      RemoteBackupHelperOperation* self;
      ~End() { self->endStepPhase(); }
    } end{this};
    return fn();
  }
  void beginStepPhase(const char* phase, std::uint32_t identifier);
  void endStepPhase();
  // The command's settings.
  RemoteBackupController& remoteController() const { return mainOperation_->remoteController(); }
  // Under the main operation's lock: skip the file (removed from the
  // snapshot, added to the skipped paths).
  void skipFile(const DirectoryItem& item);
  // The full local path of an item below the source directory.
  std::string sourcePathOfItem(const DirectoryItem& item) const;

 private:
  RemoteBackupOperation* mainOperation_;
  Value source_;
  std::uint32_t index_;
  Array arguments_;
  std::shared_ptr<RemoteBackupHelperOperation> nextOperation_;
  mutable std::mutex phaseMutex_;
  std::optional<std::string> currentPhase_;
  std::uint32_t currentIndex_ = 0;
};

// The copy rule of the concrete steps: constructed like the base.
template <class Derived>
class RemoteBackupHelperStep : public RemoteBackupHelperOperation {
 public:
  using RemoteBackupHelperOperation::RemoteBackupHelperOperation;
  std::shared_ptr<RemoteBackupHelperOperation> freshCopy() const override {
    auto copy = std::make_shared<Derived>(&mainOperation(), source(), index(), arguments());
    copy->setNextOperation(nextOperation());
    return copy;
  }
};

// ---- Upload steps ---------------------------------------------------------------------

// Stores one file by itself: its metadata file when it has a resource fork,
// extended attributes or an ACL; plans its parts (nextOperation = part 1,
// each part's nextOperation the following one); sets its storage record.
class RemoteBackupUploadFileOperation : public RemoteBackupHelperStep<RemoteBackupUploadFileOperation> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupUploadFileOperation"; }
};

// Uploads one byte range of a file, read straight from the file through a
// DataReadStream whose source is the step. Answers 1 when the file changed.
class RemoteBackupUploadPartOperation : public RemoteBackupHelperStep<RemoteBackupUploadPartOperation>,
                                        public DataStreamSource {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  ~RemoteBackupUploadPartOperation() override;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupUploadPartOperation"; }

  // DataStreamSource; the user info is the local path (std::string).
  bool openDataStream(std::any& info) override;
  long readDataFromStream(std::any& info, std::uint8_t* buffer, std::size_t maxLength) override;
  void closeDataStream(std::any& info) override;

 private:
  int file_ = -1;
  std::uint32_t length_ = 0;
  std::uint64_t offset_ = 0;
  RunningFileDigestPtr runningDigest_;
};

// Uploads the bytes of an archive slot as "Archive_%04i.cpgz|cpio[.aes]";
// on 3 the slot is emptied.
class RemoteBackupUploadArchiveOperation : public RemoteBackupHelperStep<RemoteBackupUploadArchiveOperation> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupUploadArchiveOperation"; }
};

// Downloads one stored file to nowhere and compares its digest; any failure
// adds the name to the excluded paths. Always 3.
class RemoteBackupVerifyOperation : public RemoteBackupHelperStep<RemoteBackupVerifyOperation> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupVerifyOperation"; }
};

// ---- Download steps ------------------------------------------------------------------

// Appends one part to the restored file through a DataWriteStream whose
// destination is the step; on failure the file is cut back to its length
// before the part.
class RemoteBackupDownloadPartOperation : public RemoteBackupHelperStep<RemoteBackupDownloadPartOperation>,
                                          public DataStreamDestination {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  ~RemoteBackupDownloadPartOperation() override;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupDownloadPartOperation"; }

  // DataStreamDestination; the user info is the local path (std::string).
  bool openDataStream(std::any& info) override;
  long writeDataToStream(std::any& info, const std::uint8_t* bytes, std::size_t length) override;
  void closeDataStream(std::any& info) override;

 private:
  int file_ = -1;
  bool append_ = false;
};

// Finishes a restored file after its last part (or alone without parts):
// unpacks its metadata file, verifies it, applies its properties.
class RemoteBackupDownloadFileOperation : public RemoteBackupHelperStep<RemoteBackupDownloadFileOperation> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupDownloadFileOperation"; }
};

// Downloads an archive into its slot: into a buffer of S + S/16 bytes when
// the segment size S is set, else into memory.
class RemoteBackupDownloadArchiveOperation : public RemoteBackupHelperStep<RemoteBackupDownloadArchiveOperation> {
 public:
  using RemoteBackupHelperStep::RemoteBackupHelperStep;
  int runWithFileTransferController(FileTransferController& controller) override;
  const char* className() const override { return "RemoteBackupDownloadArchiveOperation"; }
};

}  // namespace quorvel
