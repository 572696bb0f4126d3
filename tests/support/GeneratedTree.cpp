#include "support/GeneratedTree.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

namespace quorvel::test {

namespace {

namespace fs = std::filesystem;

// Fixed modification times: a base in 2020 plus a minute per entry.
constexpr std::int64_t kBaseTime = 1600000000;

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t PathHash(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

class Builder {
 public:
  Builder(std::string root, const GeneratedTreeOptions& options) : options_(options) {
    tree_.root = std::move(root);
  }

  GeneratedTree build();

 private:
  std::string full(const std::string& relative) const { return tree_.root + "/" + relative; }

  void folder(const std::string& relative) {
    std::error_code error;
    fs::create_directories(full(relative), error);
    if (error) ADD_FAILURE() << "cannot create " << full(relative) << ": " << error.message();
    tree_.directories.push_back(relative);
  }

  void file(const std::string& relative, std::uint64_t size) {
    Data contents = GeneratedContents(relative, size, options_.seed);
    int fd = open(full(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      ADD_FAILURE() << "cannot create " << full(relative) << ": " << std::strerror(errno);
      return;
    }
    std::size_t written = 0;
    while (written < contents.size()) {
      ssize_t n = write(fd, contents.data() + written, contents.size() - written);
      if (n <= 0) {
        ADD_FAILURE() << "cannot write " << full(relative) << ": " << std::strerror(errno);
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    close(fd);
    tree_.files.push_back(relative);
  }

  void link(const std::string& relative, const std::string& target) {
    if (symlink(target.c_str(), full(relative).c_str()) != 0) {
      ADD_FAILURE() << "cannot create link " << full(relative) << ": " << std::strerror(errno);
      return;
    }
    tree_.links.push_back(relative);
  }

  // False when the file system does not take user attributes.
  bool attribute(const std::string& relative, const std::string& name, const std::string& value) {
    if (lsetxattr(full(relative).c_str(), name.c_str(), value.data(), value.size(), 0) == 0) return true;
    if (errno != ENOTSUP && errno != EPERM) ADD_FAILURE() << "setxattr " << relative << ": " << std::strerror(errno);
    return false;
  }

  bool acl(const std::string& relative, const char* text, acl_type_t type) {
    acl_t acl = acl_from_text(text);
    if (!acl) {
      ADD_FAILURE() << "bad ACL text " << text;
      return false;
    }
    int result = acl_set_file(full(relative).c_str(), type, acl);
    int error = errno;
    acl_free(acl);
    if (result == 0) return true;
    if (error != ENOTSUP && error != EPERM) ADD_FAILURE() << "acl_set_file " << relative << ": " << std::strerror(error);
    return false;
  }

  void setTimes() {
    // Files and links first, in creation order; folders last, deepest first,
    // because creating entries inside a folder changes its time.
    std::int64_t minute = 0;
    auto stamp = [&](const std::string& relative) {
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = kBaseTime + 60 * ++minute;
      times[0].tv_nsec = times[1].tv_nsec = 0;
      if (utimensat(AT_FDCWD, full(relative).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        ADD_FAILURE() << "utimensat " << relative << ": " << std::strerror(errno);
      }
    };
    for (const std::string& path : tree_.files) stamp(path);
    for (const std::string& path : tree_.links) stamp(path);
    std::vector<std::string> folders = tree_.directories;
    std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
      return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& path : folders) stamp(path);
  }

  GeneratedTreeOptions options_;
  GeneratedTree tree_;
};

GeneratedTree Builder::build() {
  std::error_code error;
  fs::create_directories(tree_.root, error);
  if (error) ADD_FAILURE() << "cannot create " << tree_.root << ": " << error.message();

  file("empty.txt", 0);
  folder("folder");
  file("folder/empty", 0);

  folder("segment");
  tree_.exactSegmentFile = "segment/exact.bin";
  tree_.segmentPlusOneFile = "segment/exact-plus-one.bin";
  tree_.severalSegmentsFile = "segment/several.dat";
  file(tree_.exactSegmentFile, options_.segmentSize);
  file(tree_.segmentPlusOneFile, options_.segmentSize + 1);
  file(tree_.severalSegmentsFile,
       options_.segmentSize * static_cast<std::uint64_t>(options_.severalSegments) + options_.segmentSize / 3 + 7);

  folder("small");
  folder("small/a");
  folder("small/a/b");
  std::uint64_t state = PathHash("small") ^ options_.seed;
  for (int i = 0; i < options_.smallFileCount; ++i) {
    static const char* const kFolders[] = {"small", "small/a", "small/a/b"};
    static const char* const kExtensions[] = {"txt", "txt", "jpg", "c", "zip", "txt", "md"};
    char name[64];
    std::snprintf(name, sizeof name, "%s/file-%03d.%s", kFolders[i % 3], i, kExtensions[i % 7]);
    std::uint64_t size = 1 + SplitMix(state) % std::max<std::uint32_t>(options_.smallFileMaximumSize, 1);
    file(name, size);
  }

  folder("deep/1/2/3/4/5");
  tree_.directories.insert(tree_.directories.end(), {"deep", "deep/1", "deep/1/2", "deep/1/2/3", "deep/1/2/3/4"});
  file("deep/1/2/3/4/5/leaf.txt", 321);
  folder("empty-folder");
  folder("deep/1/2/empty");

  folder("names");
  file("names/with space.txt", 100);
  folder("names/Dossier été");
  file("names/Dossier été/naïve café.txt", 200);
  file("names/日本語.txt", 300);

  if (options_.symbolicLinks) {
    folder("links");
    link("links/to-file", "../empty.txt");
    link("links/to-dir", "../deep");
    link("links/dangling", "does-not-exist");
  }

  if (options_.extendedAttributes) {
    folder("attributes");
    file("attributes/tagged.txt", 1234);
    bool taken = attribute("attributes/tagged.txt", "user.quorvel.colour", "blue") &&
                 attribute("attributes/tagged.txt", "user.quorvel.binary", std::string("\x00\x01\xff", 3)) &&
                 attribute("attributes", "user.quorvel.folder", "yes");
    tree_.hasExtendedAttributes = taken;
    if (taken) tree_.attributedPaths = {"attributes/tagged.txt", "attributes"};
  }

  if (options_.acls) {
    folder("acl");
    file("acl/shared.txt", 555);
    bool taken = acl("acl/shared.txt", "u::rw-,u:12345:r--,g::r--,m::r--,o::---", ACL_TYPE_ACCESS) &&
                 acl("acl", "u::rwx,u:12345:r-x,g::r-x,m::r-x,o::---", ACL_TYPE_DEFAULT);
    tree_.hasACLs = taken;
    if (taken) tree_.aclPaths = {"acl/shared.txt", "acl"};
  }

  setTimes();
  return tree_;
}

// user.* attributes of a path (links not followed).
std::map<std::string, std::string> UserAttributes(const std::string& path) {
  std::map<std::string, std::string> attributes;
  ssize_t size = llistxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return attributes;
  std::string names(static_cast<std::size_t>(size), '\0');
  size = llistxattr(path.c_str(), names.data(), names.size());
  if (size <= 0) return attributes;
  names.resize(static_cast<std::size_t>(size));
  for (std::size_t start = 0; start < names.size();) {
    std::string name = names.c_str() + start;
    start += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t length = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    std::string value(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    attributes[name] = value;
  }
  return attributes;
}

std::string ACLText(const std::string& path, acl_type_t type) {
  acl_t acl = acl_get_file(path.c_str(), type);
  if (!acl) return std::string();
  std::string text;
  // An access ACL that only mirrors the mode bits is no ACL of its own.
  if (type == ACL_TYPE_DEFAULT || acl_equiv_mode(acl, nullptr) != 0) {
    if (char* chars = acl_to_any_text(acl, nullptr, ',', 0)) {
      text = chars;
      acl_free(chars);
    }
  }
  acl_free(acl);
  return text;
}

std::set<std::string> Entries(const std::string& root) {
  std::set<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    entries.insert(fs::relative(it->path(), root).string());
  }
  return entries;
}

}  // namespace

Data GeneratedContents(const std::string& relativePath, std::uint64_t size, std::uint32_t seed) {
  Data contents(static_cast<std::size_t>(size));
  std::uint64_t state = PathHash(relativePath) ^ (std::uint64_t{seed} << 32);
  std::size_t i = 0;
  // Text-like files (small ones) compress; binary ones do not.
  const bool text = size < 65536;
  while (i < contents.size()) {
    std::uint64_t word = SplitMix(state);
    for (int b = 0; b < 8 && i < contents.size(); ++b, ++i, word >>= 8) {
      contents[i] = text ? static_cast<std::uint8_t>("abcdefgh ijklmnop\n"[word % 18]) : static_cast<std::uint8_t>(word);
    }
  }
  return contents;
}

GeneratedTree GenerateTree(const std::string& root, const GeneratedTreeOptions& options) {
  return Builder(root, options).build();
}

std::vector<std::string> TreeDifferences(const std::string& expectedRoot, const std::string& actualRoot,
                                         bool compareModificationTimes) {
  std::vector<std::string> differences;
  std::set<std::string> expected = Entries(expectedRoot);
  std::set<std::string> actual = Entries(actualRoot);
  for (const std::string& entry : expected) {
    if (!actual.count(entry)) differences.push_back("missing: " + entry);
  }
  for (const std::string& entry : actual) {
    if (!expected.count(entry)) differences.push_back("unexpected: " + entry);
  }
  for (const std::string& entry : expected) {
    if (!actual.count(entry)) continue;
    const std::string a = expectedRoot + "/" + entry;
    const std::string b = actualRoot + "/" + entry;
    struct stat sa, sb;
    if (lstat(a.c_str(), &sa) != 0 || lstat(b.c_str(), &sb) != 0) {
      differences.push_back("unreadable: " + entry);
      continue;
    }
    if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT)) {
      differences.push_back("type differs: " + entry);
      continue;
    }
    if (S_ISREG(sa.st_mode)) {
      std::error_code error;
      if (sa.st_size != sb.st_size) {
        differences.push_back("size differs: " + entry);
      } else {
        std::string ca, cb;
        for (auto [path, out] : {std::pair{&a, &ca}, std::pair{&b, &cb}}) {
          int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC);
          char buffer[65536];
          ssize_t n;
          while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<std::size_t>(n));
          if (fd >= 0) close(fd);
        }
        if (ca != cb) differences.push_back("contents differ: " + entry);
      }
    } else if (S_ISLNK(sa.st_mode)) {
      char ta[4096], tb[4096];
      ssize_t la = readlink(a.c_str(), ta, sizeof ta);
      ssize_t lb = readlink(b.c_str(), tb, sizeof tb);
      if (la != lb || la < 0 || std::memcmp(ta, tb, static_cast<std::size_t>(la)) != 0) {
        differences.push_back("link target differs: " + entry);
      }
    }
    if (!S_ISLNK(sa.st_mode) && (sa.st_mode & 07777) != (sb.st_mode & 07777)) {
      differences.push_back("permissions differ: " + entry);
    }
    if (UserAttributes(a) != UserAttributes(b)) differences.push_back("extended attributes differ: " + entry);
    if (!S_ISLNK(sa.st_mode)) {
      if (ACLText(a, ACL_TYPE_ACCESS) != ACLText(b, ACL_TYPE_ACCESS)) differences.push_back("ACL differs: " + entry);
      if (S_ISDIR(sa.st_mode) && ACLText(a, ACL_TYPE_DEFAULT) != ACLText(b, ACL_TYPE_DEFAULT)) {
        differences.push_back("default ACL differs: " + entry);
      }
    }
    // Snapshots keep times as seconds in a double: about a microsecond apart at most.
    const long long nanoseconds = (static_cast<long long>(sa.st_mtim.tv_sec) - sb.st_mtim.tv_sec) * 1000000000LL +
                                  (sa.st_mtim.tv_nsec - sb.st_mtim.tv_nsec);
    if (compareModificationTimes && !S_ISDIR(sa.st_mode) && (nanoseconds > 1000 || nanoseconds < -1000)) {
      differences.push_back("modification time differs: " + entry);
    }
  }
  return differences;
}

}  // namespace quorvel::test
