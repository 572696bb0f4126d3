// Capturing one item's metadata from the file system, the record's owned
// parts, and the DirectoryItem view built from it.
#include "snapshot/DirectoryItemData.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cmath>

#include "foundation/SystemLog.h"
#include "snapshot/DirectoryItem.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/SnapshotTestSupport.h"
#include "snapshot/platform/FileMetadata.h"

namespace quorvel {
namespace {

using test::SetAttribute;
using test::TempDir;
using test::WriteFile;

class ItemCapture : public ::testing::Test {
 protected:
  std::optional<DirectoryItemData> capture(const std::string& path, bool metadata) {
    platform::FileStatus status;
    if (platform::StatItem(AT_FDCWD, path.c_str(), &status) != 0) return std::nullopt;
    return CreateDirectoryItemData(path.c_str(), status, metadata, 7, buffer_, -1);
  }
  static bool HaveACLTools() { return test::HaveProgram("setfacl"); }

  TempDir dir_;
  char buffer_[kAttributeListBufferSize];
};

TEST_F(ItemCapture, RegularFileRecordsStatusFields) {
  std::string path = dir_ / "file";
  WriteFile(path, std::string(1234, 'x'));
  chmod(path.c_str(), 0640);
  test::SetModificationTime(path, 1000000000, 250000000);
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);

  auto data = capture(path, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->mode, 0100640);
  EXPECT_EQ(data->dataSize, 1234u);
  EXPECT_EQ(data->nodeID, static_cast<std::uint32_t>(st.st_ino));
  EXPECT_EQ(data->userID, st.st_uid);
  EXPECT_EQ(data->groupID, st.st_gid);
  EXPECT_EQ(data->revision, 7u);
  EXPECT_DOUBLE_EQ(data->modificationDate, 1000000000.25);
  EXPECT_EQ(data->resourceSize, 0u);
  EXPECT_FALSE(data->acl());
  EXPECT_FALSE(data->extendedAttributes());
  EXPECT_FALSE(data->userInfo());
}

TEST_F(ItemCapture, CreationDateIsTheBirthTimeOrTheStatusChangeTime) {
  std::string path = dir_ / "born";
  WriteFile(path, "x");
  test::SetModificationTime(path, 1000000000, 0);
  auto data = capture(path, false);
  ASSERT_TRUE(data);
  std::string out;
  ASSERT_EQ(test::RunShell("stat -c '%W %Z' '" + path + "'", &out), 0);
  long long birth = 0, change = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "%lld %lld", &birth, &change), 2);
  long long expected = birth != 0 ? birth : change;
  EXPECT_EQ(static_cast<long long>(std::floor(data->creationDate)), expected);
  EXPECT_NE(data->creationDate, data->modificationDate);
}

TEST_F(ItemCapture, WithoutMetadataOnlyTypeBitsRemain) {
  std::string a = dir_ / "a", b = dir_ / "b";
  WriteFile(a, "same");
  WriteFile(b, "same");
  chmod(a.c_str(), 0600);
  chmod(b.c_str(), 0755);
  SetAttribute(a, "user.note", "hello");
  auto recordA = capture(a, false);
  auto recordB = capture(b, false);
  ASSERT_TRUE(recordA && recordB);
  EXPECT_EQ(recordA->mode, 0100000);
  EXPECT_EQ(recordA->mode, recordB->mode);
  EXPECT_EQ(recordA->userID, 0u);
  EXPECT_EQ(recordA->groupID, 0u);
  EXPECT_EQ(recordA->userFlags, 0u);
  EXPECT_FALSE(recordA->extendedAttributes());
  DirectoryItem itemA("x", *recordA), itemB("x", *recordB);
  EXPECT_EQ(itemA.mode(), itemB.mode());
  EXPECT_EQ(itemA.permissions(), itemB.permissions());
}

// Linux caps one attribute value at 64 KiB (XATTR_SIZE_MAX), and ext4 without
// the ea_inode feature at about one block. The large value is therefore
// 100 KiB where a file system takes it, else the largest size tried that one
// of the candidate folders (the test folder, /dev/shm) accepts.
TEST_F(ItemCapture, UserAttributesAndACLAreBothCaptured) {
  if (!HaveACLTools()) GTEST_SKIP() << "setfacl is not installed";
  std::string shm = "/dev/shm/quorvel-test-XXXXXX";
  bool haveShm = mkdtemp(shm.data()) != nullptr;
  std::vector<std::string> folders{dir_.path()};
  if (haveShm) folders.push_back(shm);

  std::string path, big;
  for (std::size_t size : {std::size_t(100 * 1024), std::size_t(65536)}) {
    big.assign(size, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    for (const auto& folder : folders) {
      std::string candidate = folder + "/annotated";
      WriteFile(candidate, "content");
      if (lsetxattr(candidate.c_str(), "user.big", big.data(), big.size(), 0) == 0) {
        path = candidate;
        break;
      }
    }
    if (!path.empty()) break;
  }
  if (path.empty()) {
    if (haveShm) test::RunShell("rm -rf '" + shm + "'");
    GTEST_SKIP() << "no file system here takes a 64 KiB attribute value";
  }
  if (big.size() != 100 * 1024)
    std::printf("note: the large attribute is %zu bytes in %s (Linux refuses 100 KiB values)\n", big.size(),
                path.c_str());
  SetAttribute(path, "user.small", "tag");
  ASSERT_EQ(test::RunShell("setfacl -m u:nobody:r '" + path + "'"), 0);

  auto data = capture(path, true);
  if (haveShm) test::RunShell("rm -rf '" + shm + "'");
  ASSERT_TRUE(data);
  ASSERT_TRUE(data->extendedAttributes());
  const ExtendedAttributes& attributes = *data->extendedAttributes();
  ASSERT_EQ(attributes.size(), 2u);
  // Recorded as Mac OS X names them: user attributes without "user.".
  EXPECT_EQ(StringFromData(attributes.at("small")), "tag");
  EXPECT_EQ(attributes.at("big"), DataFromString(big));
  ASSERT_TRUE(data->acl());
  EXPECT_NE(data->acl()->find("user:nobody:r--"), std::string::npos) << *data->acl();
  EXPECT_EQ(data->acl()->find("default:"), std::string::npos);
  EXPECT_EQ(data->totalSize(), 7u + 3u + big.size());
}

TEST_F(ItemCapture, DirectoryDefaultACLIsPrefixed) {
  if (!HaveACLTools()) GTEST_SKIP() << "setfacl is not installed";
  std::string path = dir_ / "shared";
  test::MakeDirectory(path);
  ASSERT_EQ(test::RunShell("setfacl -d -m u:nobody:rx '" + path + "'"), 0);
  auto data = capture(path, true);
  ASSERT_TRUE(data);
  ASSERT_TRUE(data->acl());
  EXPECT_NE(data->acl()->find("default:user:nobody:r-x\n"), std::string::npos) << *data->acl();
  // The access ACL only repeats the mode: not part of the text.
  EXPECT_EQ(data->acl()->find("\nuser::"), std::string::npos) << *data->acl();
  EXPECT_EQ(data->acl()->rfind("default:", 0), 0u);
  EXPECT_EQ(data->dataSize, 0u);
}

TEST_F(ItemCapture, ACLThatOnlyRepeatsTheModeIsNotRecorded) {
  if (!HaveACLTools()) GTEST_SKIP() << "setfacl is not installed";
  std::string path = dir_ / "plain";
  WriteFile(path, "x");
  // An explicit minimal ACL is stored as the attribute but says nothing more
  // than the permission bits.
  ASSERT_EQ(test::RunShell("setfacl -m u::rw,g::r,o::- '" + path + "'"), 0);
  auto data = capture(path, true);
  ASSERT_TRUE(data);
  EXPECT_FALSE(data->acl());
}

TEST_F(ItemCapture, SpecialAttributesAreLeftOutOrOnlySized) {
  std::string path = dir_ / "mac";
  WriteFile(path, "data");
  SetAttribute(path, "user.com.apple.ResourceFork", std::string(300, 'r'));
  SetAttribute(path, "user._kTimeMachineNewestSnapshot", "x");
  SetAttribute(path, "user._kTimeMachineOldestSnapshot", "y");
  SetAttribute(path, "user.kept", "k");

  auto data = capture(path, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->resourceSize, 300u);
  ASSERT_TRUE(data->extendedAttributes());
  EXPECT_EQ(data->extendedAttributes()->size(), 1u);
  EXPECT_TRUE(data->extendedAttributes()->count("kept"));
  EXPECT_EQ(data->totalSize(), 4u + 300u + 1u);

  // The resource fork is sized without metadata too.
  auto plain = capture(path, false);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->resourceSize, 300u);
  EXPECT_FALSE(plain->extendedAttributes());
}

TEST_F(ItemCapture, ResourceForkOfADirectoryIsNotSized) {
  std::string path = dir_ / "folder";
  test::MakeDirectory(path);
  SetAttribute(path, "user.com.apple.ResourceFork", "rrr");
  auto data = capture(path, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->resourceSize, 0u);
  EXPECT_FALSE(data->extendedAttributes());
}

TEST_F(ItemCapture, InodeFlagsAreRecorded) {
  std::string path = dir_ / "nodump";
  WriteFile(path, "x");
  if (test::RunShell("chattr +d '" + path + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "this file system does not take inode flags (chattr +d failed)";
  auto data = capture(path, true);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->userFlags & 0x40) << data->userFlags;  // FS_NODUMP_FL
  auto plain = capture(path, false);
  EXPECT_EQ(plain->userFlags, 0u);
}

TEST_F(ItemCapture, SymbolicLinkIsRecordedItself) {
  std::string target = dir_ / "target", link = dir_ / "link";
  WriteFile(target, std::string(5000, 'x'));
  ASSERT_EQ(symlink("target", link.c_str()), 0);
  auto data = capture(link, true);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->type(), 0xA000);
  EXPECT_TRUE(data->isSymbolicLink());
  EXPECT_EQ(data->dataSize, 6u);  // the length of "target"
}

TEST(DirectoryItemRecord, CopiesShareTheOwnedParts) {
  DirectoryItemData data;
  data.setACL(std::optional<std::string>("user::rw-\n"));
  data.setExtendedAttributes(ExtendedAttributes{{"user.a", DataFromString("1")}});
  data.setUserInfo(Value(42));
  DirectoryItemData copy = data;
  EXPECT_EQ(copy.acl(), data.acl());
  EXPECT_EQ(copy.extendedAttributes(), data.extendedAttributes());
  EXPECT_EQ(copy.userInfo(), data.userInfo());
  copy.setUserInfo(Value());
  EXPECT_FALSE(copy.userInfo());
  EXPECT_EQ(data.userInfo()->asInt(), 42);

  DirectoryItemData empty;
  empty.setExtendedAttributes(ExtendedAttributes{});
  EXPECT_FALSE(empty.extendedAttributes());
  static_assert(sizeof(DirectoryItemData) <= 56);
}

TEST(DirectoryItemRecord, ItemMapKeepsNamesInByteOrder) {
  DirectoryItemMap map = DirectoryItemMap::fromUnsortedEntries(
      {{"b", DirectoryItemData()}, {"B", DirectoryItemData()}, {"a", DirectoryItemData()}});
  map.insertOrAssign("c", DirectoryItemData());
  map.insertOrAssign("Z", DirectoryItemData());
  DirectoryItemData replaced;
  replaced.nodeID = 9;
  map.insertOrAssign("a", replaced);
  std::vector<std::string> names;
  for (const auto& [name, data] : map) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "Z", "a", "b", "c"}));
  EXPECT_EQ(map.find("a")->nodeID, 9u);
  EXPECT_EQ(map.find("A"), nullptr);
  EXPECT_TRUE(map.erase("b"));
  EXPECT_FALSE(map.erase("b"));
  EXPECT_EQ(map.size(), 4u);
}

TEST(DirectoryItemRecord, ItemMapKeepsLookupsRightThroughInsertionsAndErasures) {
  DirectoryItemMap map;
  // Descending names insert at the front; long names make the erasures
  // compact the name buffer along the way.
  for (int i = 199; i >= 0; --i) {
    char name[96];
    std::snprintf(name, sizeof name, "entry-%03d-%s", i, std::string(60, 'x').c_str());
    DirectoryItemData data;
    data.nodeID = static_cast<std::uint32_t>(i);
    map.insertOrAssign(name, std::move(data));
  }
  for (int i = 0; i < 200; i += 2) {
    char name[96];
    std::snprintf(name, sizeof name, "entry-%03d-%s", i, std::string(60, 'x').c_str());
    ASSERT_TRUE(map.erase(name));
  }
  ASSERT_EQ(map.size(), 100u);
  int expected = 1;
  for (auto&& [name, data] : map) {
    EXPECT_EQ(data.nodeID, static_cast<std::uint32_t>(expected));
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "entry-%03d-", expected);
    EXPECT_EQ(std::string(name).substr(0, 10), prefix);
    const DirectoryItemData* found = map.find(name);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->nodeID, data.nodeID);
    expected += 2;
  }
  map.shrinkToFit();
  EXPECT_TRUE(map.contains("entry-199-" + std::string(60, 'x')));
  EXPECT_FALSE(map.contains("entry-198-" + std::string(60, 'x')));
}

TEST(DirectoryItemView, DatesCountFrom2001AndFieldsComeFromTheRecord) {
  DirectoryItemData data;
  data.mode = 040755;
  data.userFlags = 3;
  data.nodeID = 11;
  data.userID = 501;
  data.groupID = 20;
  data.revision = 4;
  data.creationDate = 978307200.0 + 10.5;
  data.modificationDate = 978307200.0 + 20.25;
  DirectoryItem item("a/b", data);
  EXPECT_EQ(item.path(), "a/b");
  EXPECT_DOUBLE_EQ(item.creationDate(), 10.5);
  EXPECT_DOUBLE_EQ(item.modificationDate(), 20.25);
  EXPECT_TRUE(item.isDirectory());
  EXPECT_FALSE(item.isSymbolicLink());
  EXPECT_EQ(item.permissions(), 0755);
  EXPECT_EQ(item.flags(), 3);
  EXPECT_EQ(item.revision(), 4u);
  EXPECT_EQ(item.description(), "[4 - 0x0] a/b/");
}

TEST(DirectoryItemView, DescriptionOfAFileShowsBothSizes) {
  DirectoryItemData data;
  data.mode = 0100644;
  data.revision = 2;
  data.dataSize = 5000000000ULL;
  data.resourceSize = 12;
  data.setUserInfo(Value("x"));
  DirectoryItem item("f.txt", data);
  char expected[128];
  std::snprintf(expected, sizeof expected, "[2 - %p] f.txt (5000000000:12 bytes)",
                static_cast<const void*>(data.userInfo().get()));
  EXPECT_EQ(item.description(), expected);
}

TEST(DirectoryItemView, EqualityIsByPathAndItemEqualityByIdentityAndMetadata) {
  DirectoryItemData data;
  data.mode = 0100644;
  data.nodeID = 5;
  data.modificationDate = 100;
  data.creationDate = 50;
  data.dataSize = 10;
  DirectoryItemData other = data;
  other.dataSize = 99;    // sizes are not compared
  other.mode = 0100600;   // metadata only
  DirectoryItem a("x", data), b("y", other), c("x", other);
  EXPECT_TRUE(a.isEqualToObject(c));
  EXPECT_FALSE(a.isEqualToObject(b));
  EXPECT_EQ(a.hash(), c.hash());
  EXPECT_TRUE(a.isEqualToDirectoryItem(b, false));
  EXPECT_FALSE(a.isEqualToDirectoryItem(b, true));
  other.mode = data.mode;
  other.setExtendedAttributes(ExtendedAttributes{{"user.x", DataFromString("1")}});
  EXPECT_FALSE(a.isEqualToDirectoryItem(DirectoryItem("y", other), true));
  other.nodeID = 6;
  EXPECT_FALSE(a.isEqualToDirectoryItem(DirectoryItem("y", other), false));
}

TEST(DirectoryItemView, AttributesCompareByTheirLinuxNames) {
  using Map = ExtendedAttributes;
  const Data one = DataFromString("1");
  const Data two = DataFromString("2");
  struct Case {
    const char* name;
    std::optional<Map> a, b;
    bool same;
  };
  const Case cases[] = {
      {"recorded earlier with the namespace", Map{{"user.x", one}}, Map{{"x", one}}, true},
      {"Mac OS X names", Map{{"com.apple.FinderInfo", one}}, Map{{"user.com.apple.FinderInfo", one}}, true},
      {"another namespace", Map{{"trusted.x", one}}, Map{{"x", one}}, false},
      {"other value", Map{{"user.x", one}}, Map{{"x", two}}, false},
      {"one name twice against two names", Map{{"user.x", one}, {"x", one}}, Map{{"x", one}, {"y", one}}, false},
      {"neither has any", std::nullopt, std::nullopt, true},
      {"only one has any", Map{{"x", one}}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SameExtendedAttributes(c.a ? &*c.a : nullptr, c.b ? &*c.b : nullptr), c.same);
    EXPECT_EQ(SameExtendedAttributes(c.b ? &*c.b : nullptr, c.a ? &*c.a : nullptr), c.same);
  }
}

TEST(DirectoryItemView, ItemAtPathStandardizesThePathAndUsesRevisionZero) {
  TempDir dir;
  WriteFile(dir / "f", "abc");
  DirectoryItemPtr item = DirectoryScanner::directoryItemAtPath(dir.path() + "//./f", true);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->path(), dir / "f");
  EXPECT_EQ(item->revision(), 0u);
  EXPECT_EQ(item->dataSize(), 3u);
  EXPECT_NE(item->permissions(), 0);

  // No type filter: a socket is answered too.
  std::string socketPath = dir / "sock";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto socketItem = DirectoryScanner::directoryItemAtPath(socketPath, false);
  close(fd);
  ASSERT_TRUE(socketItem);
  EXPECT_EQ(socketItem->mode(), 0140000);

  SystemLogCapture log;
  EXPECT_FALSE(DirectoryScanner::directoryItemAtPath(dir / "missing", true));
  EXPECT_TRUE(log.contains("directoryItemAtPath: lstat() on \"" + (dir / "missing") +
                           "\" failed with error \"No such file or directory\""))
      << (log.lines().empty() ? "" : log.lines()[0]);
}

// More attribute names than the 16 KiB list buffer holds: the capture fails
// with a log line, and a scan lists the item as unreadable. Only tmpfs takes
// that many names on one file here.
TEST(CaptureFailure, AttributeListLongerThanTheBufferFailsTheCapture) {
  std::string shm = "/dev/shm/quorvel-test-XXXXXX";
  if (!mkdtemp(shm.data())) GTEST_SKIP() << "no /dev/shm to hold a file with 20 KiB of attribute names";
  std::string path = shm + "/crowded";
  WriteFile(path, "x");
  WriteFile(shm + "/calm", "y");
  bool stored = true;
  for (int i = 0; i < 200 && stored; ++i) {
    char name[128];
    std::snprintf(name, sizeof name, "user.attribute-%03d-%s", i, std::string(80, 'n').c_str());
    stored = lsetxattr(path.c_str(), name, "v", 1, 0) == 0;
  }
  if (!stored) {
    test::RunShell("rm -rf '" + shm + "'");
    GTEST_SKIP() << "/dev/shm refuses 200 attributes on one file";
  }

  SystemLogCapture log;
  platform::FileStatus status;
  ASSERT_EQ(platform::StatItem(AT_FDCWD, path.c_str(), &status), 0);
  char buffer[kAttributeListBufferSize];
  EXPECT_FALSE(CreateDirectoryItemData(path.c_str(), status, true, 1, buffer));
  EXPECT_TRUE(log.contains("_CreateDirectoryItemData: listxattr() on \"" + path + "\" failed with error \""))
      << (log.lines().empty() ? "" : log.lines()[0]);
  // Without metadata the list is not read.
  EXPECT_TRUE(CreateDirectoryItemData(path.c_str(), status, false, 1, buffer));

  auto scanner = DirectoryScanner::initWithRootDirectory(shm, true);
  auto result = scanner->scanRootDirectory();
  test::RunShell("rm -rf '" + shm + "'");
  ASSERT_TRUE(result);
  EXPECT_EQ(test::PathsUnder(*result, "errorPaths"), std::vector<std::string>{"crowded"});
  EXPECT_TRUE(scanner->directoryItemAtSubpath("calm"));
}

}  // namespace
}  // namespace quorvel
