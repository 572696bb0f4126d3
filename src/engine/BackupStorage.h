// What a destination holds, and the records in a snapshot that say where each
// file's content lies there.
//
// A destination is one flat folder (the engine never creates subfolders):
//
//   Revision_0007.data        the snapshot of revision 7 in its compact form
//   File_0012.PDF.0001        part 1 of the data of file index 12 ("report.PDF")
//   File_0012.PDF.apdb        its metadata file (ACL, extended attributes)
//   File_0007.0001            part 1 of file index 7, a file without extension
//   Archive_0003.cpgz         archive index 3, compressed ("cpio" when not)
//   <any of the above>.aes    the same, encrypted, when the backup has a password
//   Revision_*.plist.gz*      an older stored form of a snapshot (read only)
//
// Numbers are "%04i": signed decimal, zero-padded to at least four digits
// (10000 and above take more).
//
// Every file item of a snapshot (not directories) carries a storage record as
// its item user info: 24 bytes, big-endian -
//
//   0  u32  storage kind (1 to 4, StorageKind)
//   4  u16  file index (kinds 1, 2) or archive index (kinds 3, 4)
//   6  u16  part count (kinds 1, 2; 0 for archive members)
//   8  16   MD5 of the content (data fork, or a link's target text); zero
//           when digests were off
//
// The snapshot-level user info "backupFiles" maps each stored name (part,
// metadata file, archive) to its upload information: [stored size (unsigned
// number), MD5 of the plain content (16-byte data)].
//
// Everything here is pure computation on values and may be called from any
// thread; the item accessors change a snapshot and need the caller's lock
// (RemoteBackupOperation::lock) while helper steps run.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Status.h"
#include "foundation/Data.h"
#include "foundation/Value.h"
#include "snapshot/DirectoryItem.h"
#include "snapshot/DirectoryScanner.h"

namespace quorvel {

// ---- Snapshot user-info keys ----------------------------------------------

// name -> upload information, one entry per stored part, metadata file and archive.
inline constexpr const char* kBackupFilesKey = "backupFiles";
// The name the loaded revision data was found under (in memory only).
inline constexpr const char* kRevisionFileNameKey = ".fileName";

// ---- Names ----------------------------------------------------------------

inline constexpr const char* kRevisionNamePrefix = "Revision_";
inline constexpr const char* kRevisionDataMarker = ".data";
inline constexpr const char* kRevisionPropertyListMarker = ".plist.gz";
inline constexpr const char* kEncryptedExtension = "aes";
inline constexpr const char* kMetadataExtension = "apdb";
inline constexpr const char* kArchiveExtension = "cpio";
inline constexpr const char* kCompressedArchiveExtension = "cpgz";

// "%04i" of a number: "0007", "0123", "12345", "-001".
std::string StorageNumber(int number);
// The path extension of the last component of a path: the text after its
// last ".", case kept; empty when there is none (also for a name whose only
// dot is its first character, ".profile", or its last, "name.").
std::string PathExtension(std::string_view path);
// name + ".aes" when encrypted, else name.
std::string EncryptedName(std::string name, bool encrypted);
// "File_%04i", followed by "." and the extension of itemPath when it has one.
std::string FileBaseName(int fileIndex, std::string_view itemPath);
// base + "." + "%04i" of the part (1-based), + ".aes" when encrypted.
std::string FilePartName(const std::string& baseName, int part, bool encrypted);
// base + ".apdb", + ".aes" when encrypted.
std::string FileMetadataName(const std::string& baseName, bool encrypted);
// "Archive_%04i.cpgz" or ".cpio", + ".aes" when encrypted.
std::string ArchiveName(int archiveIndex, bool compressed, bool encrypted);
// "Revision_%04i.data", + ".aes" when encrypted.
std::string RevisionDataName(std::uint32_t revision, bool encrypted);

// A new path in the system's temporary folder ($TMPDIR, else /tmp) whose last
// component is a new random unique text. Nothing is created.
std::string NewTemporaryPath();

// A scratch file of this process: an empty file of mode 0600 in a folder of
// its own (mode 0700) in the system's temporary folder, so that decrypted
// metadata and file lists are never readable by others. The file and its
// folder are removed when the object goes, on every exit path. When the
// folder cannot be made, path() is a plain NewTemporaryPath() and the first
// write there reports why.
class TemporaryFile {
 public:
  TemporaryFile();
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  // False when the private folder could not be made; error() says why.
  bool valid() const { return !folder_.empty(); }
  int error() const { return error_; }

  // The system's temporary folder: $TMPDIR, else /tmp.
  static std::string systemFolder();
  // Makes one and throws it away: a command that needs scratch files checks
  // this first, so that a temporary folder that is missing or read-only
  // fails the command with its cause instead of skipping every item.
  static Status check();

 private:
  std::string folder_;  // empty when the private folder could not be made
  std::string path_;
  int error_ = 0;
};

// ---- Storage record ---------------------------------------------------------

enum StorageKind : std::uint32_t {
  StorageKindNone = 0,
  StorageKindFile = 1,                // parts only
  StorageKindFileWithMetadata = 2,    // parts plus the metadata file
  StorageKindArchive = 3,             // member of a "cpio" archive
  StorageKindCompressedArchive = 4,   // member of a "cpgz" archive
};

inline constexpr std::size_t kStorageRecordSize = 24;

struct StorageRecord {
  std::uint32_t storageKind = StorageKindNone;
  std::uint16_t storageIndex = 0;
  std::uint16_t partCount = 0;
  std::array<std::uint8_t, 16> digest{};

  // Kind 1 to 4.
  bool isValid() const { return storageKind >= StorageKindFile && storageKind <= StorageKindCompressedArchive; }
  bool isStoredByItself() const { return storageKind == StorageKindFile || storageKind == StorageKindFileWithMetadata; }
  bool isArchiveMember() const {
    return storageKind == StorageKindArchive || storageKind == StorageKindCompressedArchive;
  }
  bool hasMetadata() const { return storageKind == StorageKindFileWithMetadata; }
  bool isCompressedArchive() const { return storageKind == StorageKindCompressedArchive; }

  // The 24 bytes.
  Data encode() const;
  // Any 24 bytes decode (the kind is not checked); other lengths give nothing.
  static std::optional<StorageRecord> decode(const Data& bytes);
  // From an item user info: 24-byte data, or nothing.
  static std::optional<StorageRecord> fromUserInfo(const Value* userInfo);

  bool operator==(const StorageRecord&) const = default;
};

// The most parts a file of dataSize bytes can have been stored in. Storing
// cuts a file into parts of one segment each (at least a mebibyte less 32
// bytes here), but destinations written with other part lengths exist, so
// the rule kept is the one every writer obeys: no part is empty. A file has
// at most one part per byte, and an empty file at most one part.
std::uint64_t LargestPartCountForSize(std::uint64_t dataSize);

// The item's record when it is valid: present, 24 bytes, kind 1 to 4, and
// for a file stored by itself no more parts than LargestPartCountForSize of
// the item's data size (a record from the destination may claim anything).
// Nothing otherwise (an invalid entry, which callers report as
// "[Internal Error] Invalid backup data entry "%@"" with item.description()).
std::optional<StorageRecord> ValidStorageRecordOfItem(const DirectoryItem& item);

// How many of the record's parts, counted from the first, the revision's
// "backupFiles" lists under `base` (see FileBaseName): a revision lists every
// part it stored, so a part it does not list was never stored and neither
// were those after it. Bounds what a record that claims more parts than
// were stored costs the commands that walk them (the claim is untrusted).
int ListedPartCount(const StorageRecord& record, const std::string& base, bool encrypted,
                    const Dictionary& backupFiles);
// The item's record when it is 24 bytes long, whatever its kind.
std::optional<StorageRecord> StorageRecordOfItem(const DirectoryItem& item);
// Stores the record as the user info of the item at subpath; false when the
// snapshot has no such item.
bool SetStorageRecordOfItem(DirectoryScanner& scanner, std::string_view subpath, const StorageRecord& record);

// Whether the item carries anything a metadata file or an AppleDouble
// companion holds: a resource fork, extended attributes or an ACL.
bool ItemHasMetadata(const DirectoryItem& item);

// ---- Upload information -------------------------------------------------------

struct UploadInformation {
  std::uint64_t size = 0;  // bytes as stored on the destination
  Data digest;             // 16 bytes: MD5 of the plain content

  // [size, digest]
  Value toValue() const;
  // Nothing unless the value is an array of an integer number and data.
  static std::optional<UploadInformation> fromValue(const Value& value);
};

// ---- Phases of the destination commands ---------------------------------------
// Identifiers: 0 unless stated; "file index << 24" is the index shifted left
// by 24 bits, "| part" or'd with the part number.

inline constexpr const char* kPhaseCheckDestination = "checkDestination";
inline constexpr const char* kPhaseDownloadBackupInfo = "downloadBackupInfo";
inline constexpr const char* kPhaseScanSource = "scanSource";
inline constexpr const char* kPhaseUploadFileMetadata = "uploadFileMetadata";      // file index << 24
inline constexpr const char* kPhaseUploadFilePart = "uploadFilePart";              // file index << 24 | part
inline constexpr const char* kPhaseComputeFileDigest = "computeFileDigest";        // file index
inline constexpr const char* kPhaseComputeArchiveDigest = "computeArchiveDigest";  // archive index
inline constexpr const char* kPhaseCreateFileArchive = "createFileArchive";        // archive index
inline constexpr const char* kPhaseUploadFileArchive = "uploadFileArchive";        // archive index
inline constexpr const char* kPhaseUploadBackupData = "uploadBackupData";
inline constexpr const char* kPhaseVerifyBackupInfo = "verifyBackupInfo";
inline constexpr const char* kPhaseDeleteSpareBackupFiles = "deleteSpareBackupFiles";
inline constexpr const char* kPhaseDownloadFilePart = "downloadFilePart";          // file index << 24 | part
inline constexpr const char* kPhaseDownloadFileMetadata = "downloadFileMetadata";  // file index << 24
inline constexpr const char* kPhaseDownloadFileArchive = "downloadFileArchive";    // archive index
inline constexpr const char* kPhaseExtractFileArchive = "extractFileArchive";      // archive index
inline constexpr const char* kPhaseVerifyBackupFile = "verifyBackupFile";          // step number
inline constexpr const char* kPhaseDeleteBackupData = "deleteBackupData";
inline constexpr const char* kPhaseDeleteBackupFiles = "deleteBackupFiles";

// file index << 24, or'd with a part number.
inline std::uint32_t FilePhaseIdentifier(std::uint32_t fileIndex, std::uint32_t part = 0) {
  return (fileIndex << 24) | part;
}

}  // namespace quorvel
