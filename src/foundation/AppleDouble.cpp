#include "foundation/AppleDouble.h"
#include "foundation/ExtendedACLText.h"
#include "foundation/ExtendedAttributeNames.h"
#include "foundation/Posix.h"

#include <acl/libacl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

constexpr const char* kResourceForkName = "user.com.apple.ResourceFork";
constexpr const char* kFinderInfoName = "user.com.apple.FinderInfo";
constexpr const char* kAccessACLName = "system.posix_acl_access";
constexpr const char* kDefaultACLName = "system.posix_acl_default";
constexpr char kFiller[17] = "Mac OS X        ";
constexpr std::uint32_t kAttributeHeaderMagic = 0x41545452;  // "ATTR"

// Fixed positions of the layout described in the header.
constexpr std::size_t kEntryTableOffset = 26;
constexpr std::size_t kFinderInfoOffset = 50;
constexpr std::size_t kAttributeHeaderOffset = 84;
constexpr std::size_t kAttributeHeaderSize = 36;
constexpr std::size_t kFirstAttributeEntryOffset = kAttributeHeaderOffset + kAttributeHeaderSize;
constexpr std::size_t kAttributeEntryFixedSize = 11;
constexpr std::size_t kMaximumNameLength = 254;  // plus the NUL must fit in one byte
// A file form larger than this is not an AppleDouble file this program wrote.
constexpr off_t kMaximumFileSize = off_t(1) << 30;

// A failure with an errno code: "<call>: <system text>", and what it was about.
Status SystemFailure(const char* call, int error, const std::string& about = {}) {
  Status status = Status::posix(error, call);
  return about.empty() ? status : Status(status.domain(), status.code(), status.message() + " (" + about + ")",
                                         status.isPermanent() ? Permanence::kPermanent : Permanence::kTransient);
}

// A failure of the data itself, with the errno code callers show for it.
Status DataFailure(int error, const std::string& text) {
  return Status(kPosixDomain, error, text, Permanence::kPermanent);
}

void Put16(Data& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

void Put32(Data& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::uint16_t Get16(const Data& in, std::size_t at) {
  return static_cast<std::uint16_t>((in[at] << 8) | in[at + 1]);
}

std::uint32_t Get32(const Data& in, std::size_t at) {
  return (std::uint32_t(in[at]) << 24) | (std::uint32_t(in[at + 1]) << 16) | (std::uint32_t(in[at + 2]) << 8) |
         std::uint32_t(in[at + 3]);
}

std::size_t RoundUp4(std::size_t value) { return (value + 3) & ~std::size_t(3); }

// llistxattr with a retry when the list grows between the two calls.
int ListNames(const std::string& path, std::vector<std::string>* names) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) return (errno == ENOTSUP) ? 0 : errno;
    std::string buffer(static_cast<std::size_t>(size), '\0');
    if (size > 0) {
      size = llistxattr(path.c_str(), buffer.data(), buffer.size());
      if (size < 0) {
        if (errno == ERANGE) continue;
        return errno;
      }
      buffer.resize(static_cast<std::size_t>(size));
    }
    names->clear();
    std::size_t start = 0;
    while (start < buffer.size()) {
      std::size_t end = buffer.find('\0', start);
      if (end == std::string::npos) end = buffer.size();
      if (end > start) names->emplace_back(buffer, start, end - start);
      start = end + 1;
    }
    return 0;
  }
  return ERANGE;
}

// lgetxattr with a retry when the value grows between the two calls.
// ENODATA means the attribute went away meanwhile.
int ReadValue(const std::string& path, const std::string& name, Data* value) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    ssize_t size = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) return errno;
    value->resize(static_cast<std::size_t>(size));
    if (size == 0) return 0;
    size = lgetxattr(path.c_str(), name.c_str(), value->data(), value->size());
    if (size < 0) {
      if (errno == ERANGE) continue;
      return errno;
    }
    value->resize(static_cast<std::size_t>(size));
    return 0;
  }
  return ERANGE;
}

// The ACL text of the item (see ReadACLText), with the errno of a failure.
std::optional<std::string> ReadACL(const std::string& path, bool access, bool defaultACL, int* errorNumber) {
  ACLTextResult result = ReadACLText(path.c_str(), -1, access, defaultACL);
  *errorNumber = result.error;
  return result.error ? std::nullopt : std::move(result.text);
}

// Builds an ACL from text lines; nothing when libacl rejects them.
acl_t ACLFromLines(const std::string& lines) {
  acl_t acl = acl_from_text(lines.c_str());
  if (!acl) return nullptr;
  if (acl_valid(acl) != 0) {
    // Named entries without a mask: compute it, as setfacl does.
    if (acl_calc_mask(&acl) != 0 || acl_valid(acl) != 0) {
      acl_free(acl);
      return nullptr;
    }
  }
  return acl;
}

}  // namespace

bool AppleDoubleContents::empty() const {
  return attributes.empty() && resourceFork.empty() &&
         std::all_of(finderInfo.begin(), finderInfo.end(), [](std::uint8_t b) { return b == 0; });
}

Expected<Data> EncodeAppleDouble(const AppleDoubleContents& contents) {
  std::uint64_t entriesSize = 0;
  std::uint64_t valuesSize = 0;
  for (const auto& [name, value] : contents.attributes) {
    if (name.empty() || name.size() > kMaximumNameLength || name.find('\0') != std::string::npos) {
      return DataFailure(EOVERFLOW, "attribute name \"" + name + "\" cannot be stored");
    }
    entriesSize += RoundUp4(kAttributeEntryFixedSize + name.size() + 1);
    valuesSize += value.size();
  }
  const std::uint64_t dataStart = kFirstAttributeEntryOffset + entriesSize;
  const std::uint64_t totalSize = dataStart + valuesSize;
  const std::uint64_t fileSize = totalSize + contents.resourceFork.size();
  if (contents.attributes.size() > 0xFFFF || fileSize > 0xFFFFFFFFull) {
    return DataFailure(EOVERFLOW, "too much metadata for one AppleDouble file");
  }

  Data out(static_cast<std::size_t>(fileSize), 0);
  Put32(out, 0, kAppleDoubleMagic);
  Put32(out, 4, kAppleDoubleVersion);
  std::memcpy(out.data() + 8, kFiller, 16);
  Put16(out, 24, 2);
  Put32(out, kEntryTableOffset, kAppleDoubleFinderInfoEntry);
  Put32(out, kEntryTableOffset + 4, kFinderInfoOffset);
  Put32(out, kEntryTableOffset + 8, static_cast<std::uint32_t>(totalSize - kFinderInfoOffset));
  Put32(out, kEntryTableOffset + 12, kAppleDoubleResourceForkEntry);
  Put32(out, kEntryTableOffset + 16, static_cast<std::uint32_t>(totalSize));
  Put32(out, kEntryTableOffset + 20, static_cast<std::uint32_t>(contents.resourceFork.size()));
  std::copy(contents.finderInfo.begin(), contents.finderInfo.end(), out.begin() + kFinderInfoOffset);

  Put32(out, kAttributeHeaderOffset, kAttributeHeaderMagic);
  Put32(out, kAttributeHeaderOffset + 8, static_cast<std::uint32_t>(totalSize));
  Put32(out, kAttributeHeaderOffset + 12, static_cast<std::uint32_t>(dataStart));
  Put32(out, kAttributeHeaderOffset + 16, static_cast<std::uint32_t>(valuesSize));
  Put16(out, kAttributeHeaderOffset + 34, static_cast<std::uint16_t>(contents.attributes.size()));

  std::size_t entry = kFirstAttributeEntryOffset;
  std::size_t value = static_cast<std::size_t>(dataStart);
  for (const auto& [name, bytes] : contents.attributes) {
    Put32(out, entry, static_cast<std::uint32_t>(value));
    Put32(out, entry + 4, static_cast<std::uint32_t>(bytes.size()));
    out[entry + 10] = static_cast<std::uint8_t>(name.size() + 1);
    std::memcpy(out.data() + entry + kAttributeEntryFixedSize, name.data(), name.size());
    entry += RoundUp4(kAttributeEntryFixedSize + name.size() + 1);
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(value));
    value += bytes.size();
  }
  std::copy(contents.resourceFork.begin(), contents.resourceFork.end(),
            out.begin() + static_cast<std::ptrdiff_t>(totalSize));
  return out;
}

Expected<AppleDoubleContents> DecodeAppleDouble(const Data& data) {
  auto reject = [](const char* why) { return DataFailure(EINVAL, std::string("malformed AppleDouble data: ") + why); };
  const std::uint64_t size = data.size();
  if (size < kEntryTableOffset) return reject("too short");
  if (Get32(data, 0) != kAppleDoubleMagic) return reject("wrong magic number");
  if (Get32(data, 4) != kAppleDoubleVersion) return reject("unsupported version");
  const std::uint16_t entryCount = Get16(data, 24);
  if (kEntryTableOffset + std::uint64_t(entryCount) * 12 > size) return reject("entry table passes the end");

  AppleDoubleContents contents;
  bool sawFinderInfo = false;
  bool sawResourceFork = false;
  for (std::uint16_t i = 0; i < entryCount; ++i) {
    const std::size_t at = kEntryTableOffset + std::size_t(i) * 12;
    const std::uint32_t id = Get32(data, at);
    const std::uint64_t offset = Get32(data, at + 4);
    const std::uint64_t length = Get32(data, at + 8);
    if (offset + length > size) return reject("entry passes the end");
    if (id == kAppleDoubleResourceForkEntry) {
      if (sawResourceFork) return reject("two resource fork entries");
      sawResourceFork = true;
      contents.resourceFork.assign(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                   data.begin() + static_cast<std::ptrdiff_t>(offset + length));
      continue;
    }
    if (id != kAppleDoubleFinderInfoEntry) continue;
    if (sawFinderInfo) return reject("two Finder info entries");
    sawFinderInfo = true;
    if (length < 32) return reject("short Finder info");
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(offset),
              data.begin() + static_cast<std::ptrdiff_t>(offset + 32), contents.finderInfo.begin());
    // The attribute header follows the Finder info and two bytes of padding.
    const std::uint64_t header = offset + 34;
    if (length < 34 + kAttributeHeaderSize || Get32(data, static_cast<std::size_t>(header)) != kAttributeHeaderMagic)
      continue;
    const std::uint64_t totalSize = Get32(data, static_cast<std::size_t>(header + 8));
    const std::uint64_t dataStart = Get32(data, static_cast<std::size_t>(header + 12));
    const std::uint64_t attributeCount = Get16(data, static_cast<std::size_t>(header + 34));
    if (totalSize > size || totalSize > offset + length) return reject("attribute area passes its entry");
    if (dataStart > totalSize) return reject("attribute data starts after the attribute area");
    std::uint64_t entry = header + kAttributeHeaderSize;
    for (std::uint64_t n = 0; n < attributeCount; ++n) {
      if (entry + kAttributeEntryFixedSize > totalSize) return reject("attribute entry passes the attribute area");
      const std::size_t e = static_cast<std::size_t>(entry);
      const std::uint64_t valueOffset = Get32(data, e);
      const std::uint64_t valueLength = Get32(data, e + 4);
      const std::uint64_t nameLength = data[e + 10];
      if (nameLength < 2) return reject("empty attribute name");
      if (entry + kAttributeEntryFixedSize + nameLength > totalSize) return reject("attribute name passes the area");
      const char* name = reinterpret_cast<const char*>(data.data() + e + kAttributeEntryFixedSize);
      if (name[nameLength - 1] != '\0' || std::memchr(name, '\0', nameLength - 1) != nullptr)
        return reject("attribute name is not one NUL-terminated string");
      if (valueOffset + valueLength > totalSize) return reject("attribute value passes the attribute area");
      contents.attributes.emplace_back(
          std::string(name, nameLength - 1),
          Data(data.begin() + static_cast<std::ptrdiff_t>(valueOffset),
               data.begin() + static_cast<std::ptrdiff_t>(valueOffset + valueLength)));
      entry = RoundUp4(entry + kAttributeEntryFixedSize + nameLength);
    }
  }
  return contents;
}

Expected<AppleDoubleContents> AppleDoubleContentsForPath(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    return SystemFailure("lstat", errno);
  }
  std::vector<std::string> names;
  if (int error = ListNames(path, &names)) {
    return SystemFailure("llistxattr", error);
  }
  std::sort(names.begin(), names.end());

  AppleDoubleContents contents;
  bool accessACL = false;
  bool defaultACL = false;
  for (const std::string& name : names) {
    if (name == kAccessACLName) {
      accessACL = true;
      continue;
    }
    if (name == kDefaultACLName) {
      defaultACL = true;
      continue;
    }
    Data value;
    if (int error = ReadValue(path, name, &value)) {
      // Gone since the listing, or not readable by this process.
      if (error == ENODATA || error == EACCES || error == EPERM || error == ENOTSUP) continue;
      return SystemFailure("lgetxattr", error, name);
    }
    if (name == kResourceForkName) {
      contents.resourceFork = std::move(value);
    } else {
      if (name.size() > kMaximumNameLength) {
        return DataFailure(ENAMETOOLONG, "attribute name too long: " + name);
      }
      contents.attributes.emplace_back(RecordedAttributeName(name), std::move(value));
    }
  }
  if ((accessACL || defaultACL) && !S_ISLNK(status.st_mode)) {
    int error = 0;
    auto text = ReadACL(path, accessACL, defaultACL && S_ISDIR(status.st_mode), &error);
    if (error) {
      return SystemFailure("acl_get_file", error);
    }
    if (text) contents.attributes.emplace_back(kAppleDoubleACLAttributeName, DataFromString(*text));
  }
  return contents;
}

Expected<Data> AppleDoubleDataForPath(const std::string& path) {
  Expected<AppleDoubleContents> contents = AppleDoubleContentsForPath(path);
  if (!contents) return contents.status();
  return EncodeAppleDouble(*contents);
}

Status ApplyAppleDoubleData(const Data& data, const std::string& path, std::vector<std::string>* unmapped) {
  Expected<AppleDoubleContents> contents = DecodeAppleDouble(data);
  if (!contents) return contents.status();
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    return SystemFailure("lstat", errno);
  }
  auto set = [&](const std::string& name, const Data& value) {
    if (lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0) return Status();
    return SystemFailure("lsetxattr", errno, name);
  };
  const std::string* aclText = nullptr;
  std::string aclStorage;
  bool sawFinderInfo = false;
  for (const auto& [stored, value] : contents->attributes) {
    if (stored == kAppleDoubleACLAttributeName) {
      aclStorage = StringFromData(value);
      aclText = &aclStorage;
      continue;
    }
    std::string name = LinuxAttributeName(stored);
    if (name == kFinderInfoName) sawFinderInfo = true;
    if (Status status = set(name, value); !status.ok()) return status;
  }
  const bool finderInfoSet = std::any_of(contents->finderInfo.begin(), contents->finderInfo.end(),
                                         [](std::uint8_t b) { return b != 0; });
  if (finderInfoSet && !sawFinderInfo) {
    Status status = set(kFinderInfoName, Data(contents->finderInfo.begin(), contents->finderInfo.end()));
    if (!status.ok()) return status;
  }
  if (!contents->resourceFork.empty()) {
    if (Status status = set(kResourceForkName, contents->resourceFork); !status.ok()) return status;
  }
  if (aclText && IsExtendedACLText(*aclText)) {
    std::vector<std::string> notes;
    std::optional<ExtendedACLMapping> mapping = MapExtendedACLText(*aclText);
    if (!mapping) {
      notes.push_back("the ACL, whose text is of an unknown version");
    } else if (S_ISLNK(status.st_mode) && !mapping->entries.empty()) {
      notes.push_back("the ACL: links carry none here");
    } else {
      notes = std::move(mapping->unmapped);
      std::string posix = PosixACLTextForEntries(mapping->entries, status.st_mode & 07777);
      if (int error = SetACLText(path, posix)) return SystemFailure("acl_set_file", error);
    }
    if (unmapped) unmapped->insert(unmapped->end(), notes.begin(), notes.end());
  } else if (aclText) {
    if (int error = SetACLText(path, *aclText)) return SystemFailure("acl_set_file", error);
  }
  return Status();
}

Status AppleDoublePack(const std::string& path, const std::string& appleDoublePath) {
  Expected<Data> data = AppleDoubleDataForPath(path);
  if (!data) return data.status();
  UniqueFd fd(open(appleDoublePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return SystemFailure("open", errno);
  std::size_t written = 0;
  while (written < data->size()) {
    ssize_t n = write(fd.get(), data->data() + written, data->size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemFailure("write", errno);
    written += static_cast<std::size_t>(n);
  }
  if (close(fd.release()) != 0) return SystemFailure("close", errno);
  return Status();
}

Status AppleDoubleUnpack(const std::string& appleDoublePath, const std::string& path) {
  UniqueFd fd(open(appleDoublePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return SystemFailure("open", errno);
  struct stat status;
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaximumFileSize) {
    return DataFailure(EINVAL, "not a metadata file: " + appleDoublePath);
  }
  Data data;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemFailure("read", errno);
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
    if (data.size() > static_cast<std::size_t>(kMaximumFileSize)) {
      return DataFailure(EFBIG, "AppleDouble file too large: " + appleDoublePath);
    }
  }
  return ApplyAppleDoubleData(data, path);
}

bool HasAppleDoubleMetadata(const std::string& path) {
  std::vector<std::string> names;
  if (ListNames(path, &names) != 0) return false;
  bool accessACL = false;
  bool defaultACL = false;
  for (const std::string& name : names) {
    if (name == kAccessACLName) {
      accessACL = true;
    } else if (name == kDefaultACLName) {
      defaultACL = true;
    } else {
      return true;
    }
  }
  if (!accessACL && !defaultACL) return false;
  int error = 0;
  return ACLTextForPath(path, &error).has_value();
}

std::optional<std::string> ACLTextForPath(const std::string& path, int* errorNumber) {
  int ignored = 0;
  int* error = errorNumber ? errorNumber : &ignored;
  *error = 0;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    *error = errno;
    return std::nullopt;
  }
  if (S_ISLNK(status.st_mode)) return std::nullopt;
  return ReadACL(path, true, S_ISDIR(status.st_mode), error);
}

int SetACLText(const std::string& path, const std::string& text) {
  std::string accessLines;
  std::string defaultLines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind("default:", 0) == 0) {
      defaultLines += line.substr(8) + "\n";
    } else {
      accessLines += line + "\n";
    }
  }
  if (accessLines.empty() && defaultLines.empty()) return 0;

  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return errno;
  if (S_ISLNK(status.st_mode)) return EOPNOTSUPP;
  if (!defaultLines.empty() && !S_ISDIR(status.st_mode)) return EINVAL;

  if (!accessLines.empty()) {
    acl_t acl = ACLFromLines(accessLines);
    if (!acl) return EINVAL;
    // Through a descriptor opened without following links when possible, so
    // that a link swapped in after the check above is not followed.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int result = 0;
    if (fd >= 0) {
      result = acl_set_fd(fd, acl);
      close(fd);
    } else if (errno == ELOOP) {
      acl_free(acl);
      return EOPNOTSUPP;
    } else {
      result = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
    }
    int error = result == 0 ? 0 : errno;
    acl_free(acl);
    if (error) return error;
  }
  if (!defaultLines.empty()) {
    acl_t acl = ACLFromLines(defaultLines);
    if (!acl) return EINVAL;
    int error = acl_set_file(path.c_str(), ACL_TYPE_DEFAULT, acl) == 0 ? 0 : errno;
    acl_free(acl);
    if (error) return error;
  }
  return 0;
}

}  // namespace quorvel
