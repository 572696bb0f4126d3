#include "engine/BackupStorage.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "foundation/Format.h"

namespace quorvel {

std::string StorageNumber(int number) { return Format("%04i", number); }

std::string PathExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::string();
  return std::string(name.substr(dot + 1));
}

std::string EncryptedName(std::string name, bool encrypted) {
  if (encrypted) {
    name += '.';
    name += kEncryptedExtension;
  }
  return name;
}

std::string FileBaseName(int fileIndex, std::string_view itemPath) {
  std::string name = "File_" + StorageNumber(fileIndex);
  std::string extension = PathExtension(itemPath);
  if (!extension.empty()) name += "." + extension;
  return name;
}

std::string FilePartName(const std::string& baseName, int part, bool encrypted) {
  return EncryptedName(baseName + "." + StorageNumber(part), encrypted);
}

std::string FileMetadataName(const std::string& baseName, bool encrypted) {
  return EncryptedName(baseName + "." + kMetadataExtension, encrypted);
}

std::string ArchiveName(int archiveIndex, bool compressed, bool encrypted) {
  return EncryptedName(Format("Archive_%04i.%@", archiveIndex,
                              std::string(compressed ? kCompressedArchiveExtension : kArchiveExtension)),
                       encrypted);
}

std::string RevisionDataName(std::uint32_t revision, bool encrypted) {
  return EncryptedName(Format("Revision_%04i.data", static_cast<int>(revision)), encrypted);
}

std::string NewTemporaryPath() {
  const std::string directory = TemporaryFile::systemFolder();
  // The kernel's generator rather than OpenSSL's: OpenSSL keeps a random
  // generator per thread, which helper threads still idle when the process
  // ends would leave behind.
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
  }
  // A version 4 UUID text.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return directory + "/" + text;
}

std::string TemporaryFile::systemFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string directory = folder && *folder ? folder : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

Status TemporaryFile::check() {
  TemporaryFile probe;
  if (probe.valid()) return Status();
  return Status::posix(probe.error(), "cannot make a private folder in \"" + systemFolder() + "\"");
}

TemporaryFile::TemporaryFile() {
  std::string pattern = systemFolder() + "/quorvel-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {  // mode 0700
    error_ = errno;
    path_ = NewTemporaryPath();
    return;
  }
  folder_ = pattern;
  path_ = folder_ + "/data";
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

TemporaryFile::~TemporaryFile() {
  ::unlink(path_.c_str());
  if (!folder_.empty()) ::rmdir(folder_.c_str());
}

// ---- Storage record

Data StorageRecord::encode() const {
  Data bytes(kStorageRecordSize, 0);
  bytes[0] = static_cast<std::uint8_t>(storageKind >> 24);
  bytes[1] = static_cast<std::uint8_t>(storageKind >> 16);
  bytes[2] = static_cast<std::uint8_t>(storageKind >> 8);
  bytes[3] = static_cast<std::uint8_t>(storageKind);
  bytes[4] = static_cast<std::uint8_t>(storageIndex >> 8);
  bytes[5] = static_cast<std::uint8_t>(storageIndex);
  bytes[6] = static_cast<std::uint8_t>(partCount >> 8);
  bytes[7] = static_cast<std::uint8_t>(partCount);
  std::memcpy(bytes.data() + 8, digest.data(), digest.size());
  return bytes;
}

std::optional<StorageRecord> StorageRecord::decode(const Data& bytes) {
  if (bytes.size() != kStorageRecordSize) return std::nullopt;
  StorageRecord record;
  record.storageKind = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                       (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  record.storageIndex = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  record.partCount = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(record.digest.data(), bytes.data() + 8, record.digest.size());
  return record;
}

std::optional<StorageRecord> StorageRecord::fromUserInfo(const Value* userInfo) {
  if (userInfo == nullptr || !userInfo->isData()) return std::nullopt;
  return decode(userInfo->asData());
}

std::optional<StorageRecord> StorageRecordOfItem(const DirectoryItem& item) {
  return StorageRecord::fromUserInfo(item.userInfo().get());
}

std::uint64_t LargestPartCountForSize(std::uint64_t dataSize) {
  return std::max<std::uint64_t>(1, dataSize);
}

std::optional<StorageRecord> ValidStorageRecordOfItem(const DirectoryItem& item) {
  std::optional<StorageRecord> record = StorageRecordOfItem(item);
  if (!record || !record->isValid()) return std::nullopt;
  if (record->isStoredByItself() && record->partCount > LargestPartCountForSize(item.dataSize())) return std::nullopt;
  return record;
}

int ListedPartCount(const StorageRecord& record, const std::string& base, bool encrypted,
                    const Dictionary& backupFiles) {
  int listed = 0;
  while (listed < record.partCount && backupFiles.contains(FilePartName(base, listed + 1, encrypted))) ++listed;
  return listed;
}

bool SetStorageRecordOfItem(DirectoryScanner& scanner, std::string_view subpath, const StorageRecord& record) {
  return scanner.setUserInfoForDirectoryItemAtSubpath(Value(record.encode()), subpath);
}

// ---- Upload information

Value UploadInformation::toValue() const { return Value(Array{Value(size), Value(digest)}); }

std::optional<UploadInformation> UploadInformation::fromValue(const Value& value) {
  if (!value.isArray()) return std::nullopt;
  const Array& array = value.asArray();
  if (array.size() < 2 || !array[0].isInteger() || !array[1].isData()) return std::nullopt;
  UploadInformation information;
  information.size = array[0].asUInt();
  information.digest = array[1].asData();
  return information;
}

bool ItemHasMetadata(const DirectoryItem& item) {
  return item.resourceSize() != 0 || (item.extendedAttributes() && !item.extendedAttributes()->empty()) ||
         item.ACLText() != nullptr;
}

}  // namespace quorvel
