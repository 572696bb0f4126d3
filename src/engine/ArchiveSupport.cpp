#include "engine/ArchiveSupport.h"
#include "foundation/Format.h"
#include "foundation/Posix.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorvel {

namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string ToolPath(const char* variable, const char* name) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return name;
  std::string folder = FolderOf(std::string(buffer, static_cast<std::size_t>(length)));
  std::string beside = folder + "/" + name;
  if (access(beside.c_str(), X_OK) == 0) return beside;
  std::string above = FolderOf(folder) + "/" + name;
  if (access(above.c_str(), X_OK) == 0) return above;
  return beside;
}

// True when `ancestor` is listed by `previous`: the same path or a path inside it.
bool Represents(const std::string& previous, const std::string& ancestor) {
  return previous == ancestor ||
         (previous.size() > ancestor.size() && StartsWith(previous, ancestor) && previous[ancestor.size()] == '/');
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

bool DigestBytes(const void* bytes, std::size_t length, std::uint8_t digest[16]) {
  unsigned int size = 0;
  return EVP_Digest(bytes, length, digest, &size, EVP_md5(), nullptr) == 1 && size == 16;
}

}  // namespace

std::string DittoToolPath() { return ToolPath("QUORVEL_DITTO", "quorvel-ditto"); }

bool ArchiverToolIsChosen() {
  const char* tool = std::getenv("QUORVEL_DITTO");
  return tool && *tool;
}

std::string MkbomToolPath() { return ToolPath("QUORVEL_MKBOM", "quorvel-mkbom"); }

std::string BomFileListText(std::vector<std::string> entries) {
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  std::vector<std::string> listed;
  listed.reserve(entries.size() * 2);
  for (const std::string& entry : entries) {
    for (std::size_t slash = entry.find('/'); slash != std::string::npos; slash = entry.find('/', slash + 1)) {
      if (slash == 0) continue;
      std::string ancestor = entry.substr(0, slash);
      if (!listed.empty() && Represents(listed.back(), ancestor)) continue;
      listed.push_back(std::move(ancestor));
    }
    listed.push_back(entry);
  }
  std::string text = ".\n";
  for (const std::string& path : listed) {
    text += "./";
    text += path;
    text += '\n';
  }
  return text;
}

std::string AppleDoubleCompanionPath(const std::string& relativePath) {
  std::size_t slash = relativePath.rfind('/');
  if (slash == std::string::npos) return "._" + relativePath;
  return relativePath.substr(0, slash + 1) + "._" + relativePath.substr(slash + 1);
}

std::set<std::string> ParseDittoReport(const Data& errorOutput, std::vector<std::string>* otherLines) {
  static const std::string kFilePrefix = "copying file ./";
  static const std::string kLinkPrefix = "copying symlink ./";
  static const std::string kSeparator = " ... ";
  std::set<std::string> paths;
  const std::string text = StringFromData(errorOutput);
  bool skipNext = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t first = text.find_first_not_of(" \t\r", start);
    std::string line = (first == std::string::npos || first >= end) ? std::string() : text.substr(first, end - first);
    start = end + 1;
    if (line.empty() || (line.size() == 1 && line[0] == '\r')) continue;
    if (skipNext) {
      skipNext = false;
      continue;
    }
    std::size_t pathStart = 0;
    if (StartsWith(line, kFilePrefix)) {
      pathStart = kFilePrefix.size();
    } else if (StartsWith(line, kLinkPrefix)) {
      pathStart = kLinkPrefix.size();
    } else {
      if (!StartsWith(line, ">>> ") && otherLines) otherLines->push_back(line);
      continue;
    }
    skipNext = true;
    std::size_t separator = line.rfind(kSeparator);
    if (separator == std::string::npos || separator < pathStart) {
      if (otherLines) otherLines->push_back(line);
      continue;
    }
    paths.insert(line.substr(pathStart, separator - pathStart));
  }
  return paths;
}

bool ComputeFileDigest(const std::string& path, bool isSymbolicLink, std::uint8_t digest[16], int* errorNumber,
                       const std::function<bool(std::uint64_t)>& progress) {
  int ignored = 0;
  int& error = errorNumber ? *errorNumber : ignored;
  error = 0;
  if (isSymbolicLink) {
    char target[kMaximumLinkTargetLength];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0) {
      error = errno;
      return false;
    }
    if (!DigestBytes(target, static_cast<std::size_t>(length), digest)) {
      error = EIO;
      return false;
    }
    return true;
  }

  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    close(fd);
    error = EIO;
    return false;
  }
  // Not cleared first: a restore digests every file it wrote, and clearing
  // the chunk each time cost more than reading most of them.
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kDigestChunkSize]);
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = read(fd, buffer.get(), kDigestChunkSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      close(fd);
      return false;
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.get(), static_cast<std::size_t>(n)) != 1) {
      close(fd);
      error = EIO;
      return false;
    }
    total += static_cast<std::uint64_t>(n);
    if (progress && !progress(total)) {
      close(fd);
      error = 0;
      return false;
    }
  }
  close(fd);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1 || size != 16) {
    error = EIO;
    return false;
  }
  return true;
}

Expected<std::vector<std::string>> ParseBomFileList(const std::string& text) {
  auto reject = [](const std::string& why) { return Status::invalid(kArchiveDomain, why); };
  if (text.empty() || text.back() != '\n') return reject("the file list does not end with a line feed");
  if (text.find('\0') != std::string::npos) return reject("the file list holds a NUL character");
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (entries.empty()) {
      if (line != ".") return reject("the file list does not begin with \".\"");
    } else if (line.size() < 3 || !StartsWith(line, "./")) {
      return reject("line " + std::to_string(entries.size() + 1) + " is not a \"./\" path: \"" + line + "\"");
    }
    entries.push_back(std::move(line));
  }
  return entries;
}

std::string BillOfMaterialsText(const std::vector<std::string>& entries) {
  std::string text = std::string(kBillOfMaterialsMagic) + "\n" + std::to_string(entries.size()) + "\n";
  for (const std::string& entry : entries) {
    text += entry;
    text += '\n';
  }
  return text;
}

Expected<std::vector<std::string>> ParseBillOfMaterials(const std::string& text) {
  auto reject = [](const std::string& why) { return Status::invalid(kArchiveDomain, why); };
  const std::string magic = std::string(kBillOfMaterialsMagic) + "\n";
  if (!StartsWith(text, magic)) return reject("not a bill of materials");
  std::size_t countEnd = text.find('\n', magic.size());
  if (countEnd == std::string::npos) return reject("bill of materials without an entry count");
  const std::string countText = text.substr(magic.size(), countEnd - magic.size());
  // Digits only, and no leading zero: one text for each bill of materials.
  if (countText.empty() || countText.size() > 12 || countText.find_first_not_of("0123456789") != std::string::npos ||
      (countText.size() > 1 && countText[0] == '0'))
    return reject("bad entry count \"" + countText + "\"");
  const std::uint64_t count = std::stoull(countText);
  auto entries = ParseBomFileList(text.substr(countEnd + 1));
  if (!entries) return reject("bad bill of materials: " + entries.status().message());
  if (entries->size() != count) return reject("bill of materials lists a different number of entries than it says");
  return entries;
}

Expected<std::vector<std::string>> ReadBillOfMaterials(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Status::posix(errno, path);
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::posix(errno, path);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return ParseBillOfMaterials(text);
}

}  // namespace quorvel
