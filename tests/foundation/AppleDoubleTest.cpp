#include "foundation/AppleDouble.h"
#include "foundation/ExtendedACLText.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <random>

#include "snapshot/platform/FileMetadata.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

std::uint32_t Read32(const Data& data, std::size_t at) {
  return (std::uint32_t(data[at]) << 24) | (std::uint32_t(data[at + 1]) << 16) | (std::uint32_t(data[at + 2]) << 8) |
         data[at + 3];
}

void Put32(Data& data, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) data[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

Data Bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Data data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
  return data;
}

std::map<std::string, Data> Attributes(const std::string& path) {
  std::map<std::string, Data> result;
  char names[65536];
  ssize_t length = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
    std::string name(names + at);
    Data value(65536);
    ssize_t size = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0) continue;
    value.resize(static_cast<std::size_t>(size));
    result[name] = value;
  }
  return result;
}

bool SetAttribute(const std::string& path, const std::string& name, const Data& value) {
  return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

// The largest attribute value the file system under `folder` accepts, up to
// `wanted` bytes (ext4 without large attributes stops near one block).
std::size_t LargestAttribute(const std::string& folder, std::size_t wanted) {
  std::string probe = folder + "/probe";
  WriteFile(probe, "");
  std::size_t size = wanted;
  while (size >= 256 && !SetAttribute(probe, "user.probe", Data(size, 'x'))) size = size * 3 / 4;
  unlink(probe.c_str());
  return size >= 256 ? size : 0;
}

bool ACLsWork(const std::string& folder, std::string* why) {
  std::string probe = folder + "/acl-probe";
  WriteFile(probe, "");
  int error = platform::WriteACLText(probe.c_str(), "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---\n");
  unlink(probe.c_str());
  if (error) *why = std::string("ACLs unavailable here: ") + strerror(error);
  return error == 0;
}

AppleDoubleContents SampleContents() {
  AppleDoubleContents contents;
  contents.attributes.emplace_back("user.small", DataFromString("value"));
  contents.attributes.emplace_back("user.empty", Data());
  contents.attributes.emplace_back("user.large", Bytes(100 * 1024, 1));
  contents.attributes.emplace_back(kAppleDoubleACLAttributeName, DataFromString("user::rw-\n"));
  contents.resourceFork = Bytes(5000, 2);
  contents.finderInfo[0] = 'T';
  return contents;
}

// ---------------------------------------------------------------- the byte format

TEST(AppleDoubleFormat, EncodesTheVersionTwoHeaderWithTheAttributeHeaderInsideTheFinderInfo) {
  Data data = *EncodeAppleDouble(SampleContents());
  EXPECT_EQ(Read32(data, 0), 0x00051607u);
  EXPECT_EQ(Read32(data, 4), 0x00020000u);
  EXPECT_EQ((data[24] << 8) | data[25], 2);
  // Entry table: Finder info at 50, then the resource fork.
  EXPECT_EQ(Read32(data, 26), 9u);
  EXPECT_EQ(Read32(data, 30), 50u);
  EXPECT_EQ(Read32(data, 38), 2u);
  const std::uint32_t forkOffset = Read32(data, 42);
  EXPECT_EQ(Read32(data, 46), 5000u);
  EXPECT_EQ(forkOffset + 5000u, data.size());
  EXPECT_EQ(50u + Read32(data, 34), forkOffset) << "the Finder info entry covers the attribute area";
  EXPECT_EQ(data[50], 'T');
  EXPECT_EQ(StringFromData(Data(data.begin() + 84, data.begin() + 88)), "ATTR");
  EXPECT_EQ(Read32(data, 92), forkOffset) << "total size";
  EXPECT_EQ((data[118] << 8) | data[119], 4) << "attribute count";
  // First attribute entry at 120: the name with its NUL, entries 4-aligned.
  EXPECT_EQ(data[130], std::string("user.small").size() + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[131])), "user.small");
  const std::uint32_t valueOffset = Read32(data, 120);
  EXPECT_EQ(Read32(data, 124), 5u);
  EXPECT_EQ(StringFromData(Data(data.begin() + valueOffset, data.begin() + valueOffset + 5)), "value");
  const std::size_t second = (120 + 11 + 11 + 3) & ~std::size_t(3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[second + 11])), "user.empty");
}

TEST(AppleDoubleFormat, DecodesWhatItEncodesIncludingA100KiBAttribute) {
  AppleDoubleContents contents = SampleContents();
  auto decoded = DecodeAppleDouble(*EncodeAppleDouble(contents));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->attributes, contents.attributes);
  EXPECT_EQ(decoded->resourceFork, contents.resourceFork);
  EXPECT_EQ(decoded->finderInfo, contents.finderInfo);

  auto empty = DecodeAppleDouble(*EncodeAppleDouble(AppleDoubleContents{}));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(AppleDoubleFormat, RefusesNamesItCannotStore) {
  AppleDoubleContents contents;
  contents.attributes.emplace_back(std::string(255, 'n'), Data());
  Expected<Data> refused = EncodeAppleDouble(contents);
  EXPECT_FALSE(refused);
  EXPECT_FALSE(refused.status().message().empty());
  contents.attributes = {{std::string("a\0b", 3), Data()}};
  EXPECT_FALSE(EncodeAppleDouble(contents));
  contents.attributes = {{"", Data()}};
  EXPECT_FALSE(EncodeAppleDouble(contents));
  contents.attributes = {{std::string(254, 'n'), Data()}};
  EXPECT_TRUE(EncodeAppleDouble(contents));
}

TEST(AppleDoubleFormat, RefusesEveryTruncationAndBrokenOffsets) {
  const Data good = *EncodeAppleDouble(SampleContents());
  // Cutting anywhere inside the attribute area or the fork breaks an offset.
  for (std::size_t size = 0; size < good.size(); size += (size < 400 ? 1 : 997)) {
    Data cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    Expected<AppleDoubleContents> decoded = DecodeAppleDouble(cut);
    EXPECT_FALSE(decoded) << "size " << size;
    EXPECT_NE(decoded.status().message().find("malformed"), std::string::npos) << "size " << size;
    EXPECT_EQ(decoded.status().code(), EINVAL);
  }

  Data badMagic = good;
  badMagic[3] = 0x00;
  EXPECT_FALSE(DecodeAppleDouble(badMagic));
  Data badVersion = good;
  Put32(badVersion, 4, 0x00010000);
  EXPECT_FALSE(DecodeAppleDouble(badVersion));
  Data hugeEntryCount = good;
  hugeEntryCount[24] = 0xFF;
  EXPECT_FALSE(DecodeAppleDouble(hugeEntryCount));
  Data forkPastEnd = good;
  Put32(forkPastEnd, 46, 0xFFFFFFF0);
  EXPECT_FALSE(DecodeAppleDouble(forkPastEnd));
  Data valuePastArea = good;
  Put32(valuePastArea, 120, 0xFFFFFFF0);
  EXPECT_FALSE(DecodeAppleDouble(valuePastArea));
  Data nameWithoutNul = good;
  nameWithoutNul[131 + 10] = 'x';
  EXPECT_FALSE(DecodeAppleDouble(nameWithoutNul));
  Data emptyName = good;
  emptyName[130] = 1;
  EXPECT_FALSE(DecodeAppleDouble(emptyName));
  Data tooManyAttributes = good;
  tooManyAttributes[118] = 0x7F;
  EXPECT_FALSE(DecodeAppleDouble(tooManyAttributes));
  Data totalPastEnd = good;
  Put32(totalPastEnd, 92, static_cast<std::uint32_t>(good.size() + 1));
  EXPECT_FALSE(DecodeAppleDouble(totalPastEnd));
}

TEST(AppleDoubleFormat, ReadsTheClassicFormWithoutAttributeHeader) {
  // Finder info only, 32 bytes, and a resource fork: what older writers made.
  Data data(26 + 24 + 32 + 3, 0);
  Put32(data, 0, kAppleDoubleMagic);
  Put32(data, 4, kAppleDoubleVersion);
  data[25] = 2;
  Put32(data, 26, 9);
  Put32(data, 30, 50);
  Put32(data, 34, 32);
  Put32(data, 38, 2);
  Put32(data, 42, 82);
  Put32(data, 46, 3);
  data[50] = 'F';
  data[82] = 'r';
  auto decoded = DecodeAppleDouble(data);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->attributes.empty());
  EXPECT_EQ(decoded->finderInfo[0], 'F');
  EXPECT_EQ(decoded->resourceFork, (Data{'r', 0, 0}));
}

// ---------------------------------------------------------------- items on disk

class AppleDoubleFiles : public ::testing::Test {
 protected:
  TempDir dir;
  std::string file = dir / "file";
  void SetUp() override { WriteFile(file, "data"); }
};

TEST_F(AppleDoubleFiles, AttributesAnACLAndAResourceForkSurvivePackThenUnpackOntoAFreshFile) {
  std::string noACL;
  const bool acls = ACLsWork(dir.path(), &noACL);
  const std::size_t large = LargestAttribute(dir.path(), 100 * 1024);
  ASSERT_GT(large, 0u) << "user attributes unavailable here";
  // A 100 KiB value only fits file systems with large attributes; the format
  // itself carries it (DecodesWhatItEncodesIncludingA100KiBAttribute).
  const Data largeValue = Bytes(large / 2, 3);
  const Data fork = Bytes(large / 3, 4);
  ASSERT_TRUE(SetAttribute(file, "user.large", largeValue));
  ASSERT_TRUE(SetAttribute(file, "user.small", DataFromString("s")));
  ASSERT_TRUE(SetAttribute(file, "user.com.apple.ResourceFork", fork));
  if (acls) {
    ASSERT_EQ(platform::WriteACLText(file.c_str(), "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---\n"),
              0);
  }
  ASSERT_TRUE(HasAppleDoubleMetadata(file));

  const std::string packed = dir / "file.apdb";
  Status packedStatus = AppleDoublePack(file, packed);
  ASSERT_TRUE(packedStatus.ok()) << packedStatus.message();
  struct stat status;
  ASSERT_EQ(stat(packed.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  auto decoded = DecodeAppleDouble(test::ReadFile(packed));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->resourceFork, fork);
  for (const auto& [name, value] : decoded->attributes) {
    // Stored as Mac OS X names them: without the user namespace.
    EXPECT_NE(name.rfind("user.", 0), 0u) << name;
    EXPECT_NE(name.rfind("system.posix_acl", 0), 0u) << name;
  }

  const std::string fresh = dir / "fresh";
  WriteFile(fresh, "other");
  Status unpacked = AppleDoubleUnpack(packed, fresh);
  ASSERT_TRUE(unpacked.ok()) << unpacked.message();
  auto before = Attributes(file);
  auto after = Attributes(fresh);
  EXPECT_EQ(after["user.large"], largeValue);
  EXPECT_EQ(after["user.small"], DataFromString("s"));
  EXPECT_EQ(after["user.com.apple.ResourceFork"], fork);
  EXPECT_EQ(before, after) << "same attributes, the ACL attribute included";
  if (!acls) GTEST_SKIP() << noACL;
  auto acl = ACLTextForPath(fresh);
  ASSERT_TRUE(acl);
  EXPECT_EQ(*acl, *ACLTextForPath(file));
  EXPECT_NE(acl->find("user:nobody:r--"), std::string::npos);
}

TEST_F(AppleDoubleFiles, StoresTheACLTextTheSnapshotRecords) {
  std::string why;
  if (!ACLsWork(dir.path(), &why)) GTEST_SKIP() << why;
  const std::string folder = dir / "folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string text = "user::rwx\nuser:nobody:r-x\ngroup::r-x\nmask::r-x\nother::r-x\n"
                           "default:user::rwx\ndefault:user:nobody:rwx\ndefault:group::r-x\ndefault:mask::rwx\n"
                           "default:other::---\n";
  ASSERT_EQ(platform::WriteACLText(folder.c_str(), text), 0);
  platform::ItemHandle item{-1, folder.c_str()};
  auto recorded = platform::ReadACLText(item, true, true);
  ASSERT_TRUE(recorded.text);
  EXPECT_EQ(*recorded.text, text);
  EXPECT_EQ(ACLTextForPath(folder), recorded.text);

  auto contents = AppleDoubleContentsForPath(folder);
  ASSERT_TRUE(contents);
  ASSERT_EQ(contents->attributes.size(), 1u);
  EXPECT_EQ(contents->attributes[0].first, "com.apple.acl.text");
  EXPECT_EQ(StringFromData(contents->attributes[0].second), text);

  // Onto a fresh folder, the default ACL included.
  const std::string other = dir / "other";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  ASSERT_TRUE(ApplyAppleDoubleData(*AppleDoubleDataForPath(folder), other).ok());
  EXPECT_EQ(ACLTextForPath(other), text);
}

TEST_F(AppleDoubleFiles, WritingACLTextRefusesLinksBadTextAndDefaultsOnFiles) {
  std::string why;
  if (!ACLsWork(dir.path(), &why)) GTEST_SKIP() << why;
  const std::string link = dir / "link";
  ASSERT_EQ(symlink("file", link.c_str()), 0);
  EXPECT_EQ(platform::WriteACLText(link.c_str(), "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---\n"),
            EOPNOTSUPP);
  EXPECT_FALSE(ACLTextForPath(file)) << "the link's target was left alone";
  EXPECT_EQ(platform::WriteACLText(file.c_str(), "user::rw-\nbogus entry\n"), EINVAL);
  EXPECT_EQ(platform::WriteACLText(file.c_str(), "default:user::rwx\ndefault:group::r-x\ndefault:other::---\n"),
            EINVAL);
  EXPECT_EQ(platform::WriteACLText(file.c_str(), ""), 0);
  EXPECT_EQ(platform::WriteACLText((dir / "missing").c_str(), "user::rw-\ngroup::r--\nother::---\n"), ENOENT);
  // A missing mask is computed, as setfacl does.
  EXPECT_EQ(platform::WriteACLText(file.c_str(), "user::rw-\nuser:nobody:r--\ngroup::r--\nother::---\n"), 0);
  EXPECT_EQ(ACLTextForPath(file), "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---\n");
}

TEST_F(AppleDoubleFiles, AnItemWithoutMetadataHasNothingToCarry) {
  EXPECT_FALSE(HasAppleDoubleMetadata(file));
  auto contents = AppleDoubleContentsForPath(file);
  ASSERT_TRUE(contents);
  EXPECT_TRUE(contents->empty());
  // An access ACL that only repeats the mode bits is no metadata either.
  std::string why;
  if (ACLsWork(dir.path(), &why)) {
    ASSERT_EQ(platform::WriteACLText(file.c_str(), "user::rw-\ngroup::r--\nother::---\n"), 0);
    EXPECT_FALSE(HasAppleDoubleMetadata(file));
  }
  EXPECT_FALSE(HasAppleDoubleMetadata(dir / "missing"));
  Expected<Data> missing = AppleDoubleDataForPath(dir / "missing");
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.status().code(), ENOENT);
}

TEST_F(AppleDoubleFiles, NeverFollowsAFinalSymbolicLink) {
  ASSERT_TRUE(SetAttribute(file, "user.target", DataFromString("t")));
  const std::string link = dir / "link";
  ASSERT_EQ(symlink("file", link.c_str()), 0);
  EXPECT_FALSE(HasAppleDoubleMetadata(link));
  auto contents = AppleDoubleContentsForPath(link);
  ASSERT_TRUE(contents);
  EXPECT_TRUE(contents->empty());

  AppleDoubleContents other;
  other.attributes.emplace_back("user.through", DataFromString("x"));
  Status applied = ApplyAppleDoubleData(*EncodeAppleDouble(other), link);
  EXPECT_FALSE(applied.ok());
  EXPECT_EQ(applied.code(), EPERM) << "user attributes cannot be set on links";
  EXPECT_EQ(Attributes(file).count("user.through"), 0u);
}

TEST_F(AppleDoubleFiles, NamesFromElsewhereGetTheUserNamespace) {
  AppleDoubleContents contents;
  contents.attributes.emplace_back("com.apple.quarantine", DataFromString("q"));
  contents.attributes.emplace_back("user.kept", DataFromString("k"));
  contents.finderInfo[0] = 'F';
  ASSERT_TRUE(ApplyAppleDoubleData(*EncodeAppleDouble(contents), file).ok());
  auto attributes = Attributes(file);
  EXPECT_EQ(attributes["user.com.apple.quarantine"], DataFromString("q"));
  EXPECT_EQ(attributes["user.kept"], DataFromString("k"));
  Data finderInfo(32, 0);
  finderInfo[0] = 'F';
  EXPECT_EQ(attributes["user.com.apple.FinderInfo"], finderInfo);
}

TEST_F(AppleDoubleFiles, AMacOSXACLSetsWhatMapsAndReportsTheRestWithoutFailing) {
  std::string why;
  if (!ACLsWork(dir.path(), &why)) GTEST_SKIP() << why;
  AppleDoubleContents contents;
  contents.attributes.emplace_back("com.apple.FinderInfo", Data(32, 'F'));
  contents.attributes.emplace_back(kAppleDoubleACLAttributeName,
                                   DataFromString("!#acl 1\n"
                                                  "user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA0000FFFE:nobody:65534:allow:read,write\n"
                                                  "group:ABCDEFAB-CDEF-ABCD-EFAB-CDEF00000014:staff:20:deny:delete\n"));
  std::vector<std::string> unmapped;
  Status applied = ApplyAppleDoubleData(*EncodeAppleDouble(contents), file, &unmapped);
  ASSERT_TRUE(applied.ok()) << applied.message();
  EXPECT_EQ(Attributes(file)["user.com.apple.FinderInfo"], Data(32, 'F'));
  auto acl = ACLTextForPath(file);
  ASSERT_TRUE(acl);
  EXPECT_EQ(NamedEntriesOfPosixACLText(*acl), (std::vector<PosixACLEntry>{{PosixACLEntry::Tag::User, 65534, 6}}));
  ASSERT_EQ(unmapped.size(), 1u);
  EXPECT_NE(unmapped[0].find("deny entry for group staff (20)"), std::string::npos) << unmapped[0];
}

TEST_F(AppleDoubleFiles, MalformedInputChangesNothing) {
  Data data = *EncodeAppleDouble(SampleContents());
  data.resize(data.size() - 1);
  Status applied = ApplyAppleDoubleData(data, file);
  EXPECT_EQ(applied.code(), EINVAL);
  EXPECT_NE(applied.message().find("malformed"), std::string::npos);
  EXPECT_TRUE(Attributes(file).empty());

  const std::string garbage = dir / "garbage.apdb";
  WriteFile(garbage, "not AppleDouble at all");
  EXPECT_EQ(AppleDoubleUnpack(garbage, file).code(), EINVAL);
  EXPECT_EQ(AppleDoubleUnpack(dir / "absent.apdb", file).code(), ENOENT);
  EXPECT_TRUE(Attributes(file).empty());
}

TEST_F(AppleDoubleFiles, AValueTooLargeForTheFileSystemIsReportedNotIgnored) {
  AppleDoubleContents contents;
  contents.attributes.emplace_back("user.huge", Bytes(100 * 1024, 5));
  Status status = ApplyAppleDoubleData(*EncodeAppleDouble(contents), file);
  const int error = status.code();
  const std::string why = status.message();
  if (status.ok()) {
    EXPECT_EQ(Attributes(file)["user.huge"].size(), 100u * 1024);
  } else {
    EXPECT_TRUE(error == E2BIG || error == ENOSPC || error == ERANGE) << error;
    EXPECT_NE(why.find("user.huge"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvel
