// The stored forms of a snapshot: the compact keyed archive with its typed-
// stream record archives, and the gzip-compressed property-list files of
// versions 1 to 3.
#include "snapshot/DirectoryScannerSerialization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include "foundation/DataTransforms.h"
#include "foundation/KeyedUnarchiver.h"
#include "foundation/PropertyList.h"
#include "foundation/SystemLog.h"
#include "foundation/TypedStreamReader.h"
#include "foundation/TypedStreamWriter.h"
#include "foundation/Url.h"
#include "snapshot/DirectoryScanner.h"
#include "snapshot/SnapshotTestSupport.h"

namespace quorvel {
namespace {

using test::MakeDirectory;
using test::SetAttribute;
using test::TempDir;
using test::WriteFile;

// ---- Comparing snapshots

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void ExpectSameRecord(const DirectoryItemData& a, const DirectoryItemData& b, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.userFlags, b.userFlags);
  EXPECT_EQ(a.userID, b.userID);
  EXPECT_EQ(a.groupID, b.groupID);
  EXPECT_EQ(a.nodeID, b.nodeID);
  EXPECT_EQ(a.revision, b.revision);
  EXPECT_EQ(a.resourceSize, b.resourceSize);
  EXPECT_EQ(a.dataSize, b.dataSize);
  EXPECT_TRUE(SameBits(a.creationDate, b.creationDate)) << a.creationDate << " vs " << b.creationDate;
  EXPECT_TRUE(SameBits(a.modificationDate, b.modificationDate)) << a.modificationDate << " vs "
                                                                << b.modificationDate;
  ASSERT_EQ(!a.userInfo(), !b.userInfo());
  if (a.userInfo()) {
    EXPECT_EQ(*a.userInfo(), *b.userInfo()) << a.userInfo()->description();
  }
  ASSERT_EQ(!a.acl(), !b.acl());
  if (a.acl()) {
    EXPECT_EQ(*a.acl(), *b.acl());
  }
  ASSERT_EQ(!a.extendedAttributes(), !b.extendedAttributes());
  if (a.extendedAttributes()) {
    EXPECT_EQ(*a.extendedAttributes(), *b.extendedAttributes());
  }
}

Dictionary StorableOnly(const Dictionary& info) {
  Dictionary storable;
  for (const auto& [key, value] : info)
    if (!key.empty() && key[0] != '.') storable.set(key, value);
  return storable;
}

// Everything a stored form keeps: records, user info, predicate and flags.
void ExpectSameSnapshot(const DirectoryScanner& original, const DirectoryScanner& read) {
  EXPECT_EQ(read.rootDirectory(), original.rootDirectory());
  EXPECT_EQ(read.revision(), original.revision());
  EXPECT_EQ(read.isScanningMetadata(), original.isScanningMetadata());
  EXPECT_EQ(read.sortPaths(), original.sortPaths());
  EXPECT_EQ(read.excludeHiddenItems(), original.excludeHiddenItems());
  EXPECT_EQ(read.excludeDSStoreFiles(), original.excludeDSStoreFiles());
  EXPECT_FALSE(read.reportExcludedHiddenItems());
  EXPECT_EQ(read.userInfo(), StorableOnly(original.userInfo()))
      << Value(read.userInfo()).description() << " vs " << Value(StorableOnly(original.userInfo())).description();
  ASSERT_EQ(!read.exclusionPredicate(), !original.exclusionPredicate());
  if (original.exclusionPredicate()) {
    EXPECT_TRUE(read.exclusionPredicate()->isEqualToObject(*original.exclusionPredicate()))
        << read.exclusionPredicate()->predicateFormat() << " vs "
        << original.exclusionPredicate()->predicateFormat();
  }
  ASSERT_EQ(!read.rootData(), !original.rootData());
  if (original.rootData()) ExpectSameRecord(*original.rootData(), *read.rootData(), "root");
  ASSERT_EQ(read.directories().size(), original.directories().size());
  for (const auto& [subpath, items] : original.directories()) {
    auto found = read.directories().find(subpath);
    ASSERT_NE(found, read.directories().end()) << "missing directory \"" << subpath << "\"";
    ASSERT_EQ(found->second.size(), items.size()) << subpath;
    for (const auto& [name, data] : items) {
      const DirectoryItemData* other = found->second.find(name);
      ASSERT_NE(other, nullptr) << subpath << "/" << name;
      ExpectSameRecord(data, *other, subpath + "/" + name);
    }
  }
}

// ---- Looking inside the compact form without the scanner's reader

struct OpenedArchive {
  Value plist;          // the keyed archive as a property list
  std::uint64_t rootUid = 0;

  Dictionary& scannerObject() {
    return plist.mutableDictionary()["$objects"].mutableArray()[rootUid].mutableDictionary();
  }
  std::string className() {
    const Array& objects = plist["$objects"].asArray();
    std::uint64_t cls = scannerObject().get("$class").asUid().value;
    return objects[cls]["$classname"].asString();
  }
  Data compact() const {
    Data archive = *PropertyList::writeBinary(plist);
    return *DataTransforms::compressGZip(archive);
  }
};

OpenedArchive OpenCompact(const Data& compact) {
  OpenedArchive opened;
  auto archive = DataTransforms::decompressGZip(compact);
  EXPECT_TRUE(archive);
  if (!archive) return opened;
  auto plist = PropertyList::readBinary(*archive);
  EXPECT_TRUE(plist);
  if (!plist) return opened;
  opened.plist = *plist;
  opened.rootUid = (*plist)["$top"]["root"].asUid().value;
  return opened;
}

std::vector<std::string> KeysWithoutClass(const Dictionary& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object)
    if (key != "$class") keys.push_back(key);
  return keys;
}

std::uint32_t LittleEndian32(const Data& bytes, std::size_t offset) {
  return std::uint32_t{bytes[offset]} | (std::uint32_t{bytes[offset + 1]} << 8) |
         (std::uint32_t{bytes[offset + 2]} << 16) | (std::uint32_t{bytes[offset + 3]} << 24);
}

std::uint64_t LittleEndian64(const Data& bytes, std::size_t offset) {
  return std::uint64_t{LittleEndian32(bytes, offset)} | (std::uint64_t{LittleEndian32(bytes, offset + 4)} << 32);
}

double LittleEndianDouble(const Data& bytes, std::size_t offset) {
  std::uint64_t bits = LittleEndian64(bytes, offset);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

Data TextElement(const std::string& text) {
  Data bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

DirectoryItemData FileRecord(std::uint32_t node) {
  DirectoryItemData data;
  data.mode = 0100644;
  data.userFlags = 0x20;
  data.userID = 1000;
  data.groupID = 100;
  data.nodeID = node;
  data.revision = 3;
  data.resourceSize = 17;
  data.dataSize = 0x1'0000'0001ULL;
  data.creationDate = 1234567890.125;
  data.modificationDate = 1234567999.5;
  return data;
}

// ---- The generated tree, scanned once per test binary

class SnapshotForms : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = new TempDir();
    const std::string root = tree_->path();
    MakeDirectory(root + "/docs");
    MakeDirectory(root + "/docs/old");
    MakeDirectory(root + "/empty");
    MakeDirectory(root + "/caf\xC3\xA9");
    WriteFile(root + "/docs/report.txt", std::string(3000, 'r'));
    WriteFile(root + "/docs/old/notes.md", "notes");
    WriteFile(root + "/docs/old/Thumbs.db", "thumbs");
    WriteFile(root + "/caf\xC3\xA9/men\xC3\xBC.txt", "menu");
    WriteFile(root + "/binary.bin", Data{0, 1, 2, 0xFF, 0});
    WriteFile(root + "/.hidden", "h");
    symlink("docs/report.txt", (root + "/link").c_str());
    SetAttribute(root + "/docs/report.txt", "user.comment", "quarterly");
    SetAttribute(root + "/docs/report.txt", "user.empty", "");
    SetAttribute(root + "/binary.bin", "user.blob", std::string("\0\x01\xFFz", 4));
    SetAttribute(root + "/docs", "user.folder", "yes");
    haveACLs_ = test::HaveProgram("setfacl") &&
                test::RunShell("setfacl -m u:nobody:r '" + root + "/docs/report.txt'") == 0 &&
                test::RunShell("setfacl -d -m u:nobody:rx '" + root + "/empty'") == 0;
    test::SetModificationTime(root + "/docs/report.txt", 1500000000, 123456789);
  }
  static void TearDownTestSuite() {
    delete tree_;
    tree_ = nullptr;
  }

  // A scanned snapshot of the tree with user info, a predicate and flags.
  static DirectoryScannerPtr ScannedSnapshot() {
    auto scanner = DirectoryScanner::initWithRootDirectory(tree_->path(), true);
    scanner->setSortPaths(true);
    scanner->setExcludeDSStoreFiles(true);
    scanner->setReportExcludedHiddenItems(true);
    scanner->setExclusionPredicate(DirectoryScanner::exclusionPredicateWithPaths({"docs/OLD/gone"}, {"thumbs.db"}));
    auto result = scanner->scanRootDirectory();
    EXPECT_TRUE(result);
    Array upload{Value(12345), Value(Data(16, 0xAB))};
    scanner->setUserInfo(Value(Dictionary{{"File_0001.0001", Value(upload)}}), "backupFiles");
    scanner->setUserInfo(Value("Revision_0001.data"), ".fileName");
    scanner->setUserInfo(Value("in memory only"), "");
    // Whole seconds: XML property lists keep no fractions of a second.
    scanner->setUserInfo(Value(Array{Value(Date(700000000))}), "backup.dates");
    Data storage(24, 0);
    storage[3] = 1;
    storage[5] = 1;
    storage[7] = 1;
    EXPECT_TRUE(scanner->setUserInfoForDirectoryItemAtSubpath(Value(storage), "docs/report.txt"));
    EXPECT_TRUE(scanner->setUserInfoForDirectoryItemAtSubpath(
        Value(Dictionary{{"kind", Value(2)}, {"note", Value("caf\xC3\xA9")}}), "binary.bin"));
    EXPECT_TRUE(scanner->setUserInfoForDirectoryItemAtSubpath(Value(7), "link"));
    return scanner;
  }

  static TempDir* tree_;
  static bool haveACLs_;
};

TempDir* SnapshotForms::tree_ = nullptr;
bool SnapshotForms::haveACLs_ = false;

TEST_F(SnapshotForms, GeneratedTreeCarriesTheMetadataUnderTest) {
  auto scanner = ScannedSnapshot();
  ASSERT_TRUE(scanner->rootData());
  const DirectoryItemData* report = scanner->directories().at("docs").find("report.txt");
  ASSERT_NE(report, nullptr);
  ASSERT_TRUE(report->extendedAttributes());
  EXPECT_EQ(report->extendedAttributes()->count("comment"), 1u);
  EXPECT_TRUE(report->userInfo());
  if (test::HaveProgram("setfacl")) {
    EXPECT_TRUE(haveACLs_) << "setfacl failed on the test tree";
  }
  if (haveACLs_) {
    EXPECT_TRUE(report->acl());
    EXPECT_TRUE(scanner->directories().at("").find("empty")->acl());
  }
  EXPECT_EQ(scanner->directories().at("docs/old").find("Thumbs.db"), nullptr) << "excluded by the predicate";
  EXPECT_NE(scanner->directories().at("").find("caf\xC3\xA9"), nullptr);
}

// ---- Compact form

TEST_F(SnapshotForms, FullScanSurvivesTheCompactForm) {
  auto scanner = ScannedSnapshot();
  auto compact = scanner->serializedData();
  ASSERT_TRUE(compact);
  auto read = DirectoryScanner::initWithSerializedData(*compact);
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
  // The copy can be stored again, to the same bytes.
  auto again = read->serializedData();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *compact);
}

TEST_F(SnapshotForms, ReadSnapshotComparesWithoutChangesToTheSameTree) {
  auto scanner = ScannedSnapshot();
  auto read = DirectoryScanner::initWithSerializedData(*scanner->serializedData());
  ASSERT_TRUE(read);
  auto result = read->scanAndCompareRootDirectory(kDirectoryScannerBumpRevision);
  ASSERT_TRUE(result);
  for (const char* key : {"addedItems", "removedItems", "modifiedItems.data", "modifiedItems.metadata"})
    EXPECT_TRUE(test::PathsUnder(*result, key).empty()) << key;
  EXPECT_EQ(read->revision(), 1u);
}

TEST(CompactForm, NeverScannedScannerHasNeitherRecordArchive) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  scanner->setSortPaths(true);
  auto compact = scanner->serializedData();
  ASSERT_TRUE(compact);
  auto opened = OpenCompact(*compact);
  EXPECT_EQ(KeysWithoutClass(opened.scannerObject()),
            (std::vector<std::string>{"version", "rootPath", "revision", "scanMetadata", "sortPaths",
                                      "excludeHiddenItems", "excludeDSStoreFiles", "userInfo",
                                      "exclusionPredicate"}));
  EXPECT_EQ(opened.scannerObject().get("exclusionPredicate").asUid().value, 0u) << "the null object";
  auto read = DirectoryScanner::initWithSerializedData(*compact);
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
  EXPECT_FALSE(read->rootData());
  EXPECT_TRUE(read->directories().empty());
}

TEST_F(SnapshotForms, ScannedSnapshotStoresEveryKeyInOrder) {
  auto scanner = ScannedSnapshot();
  auto opened = OpenCompact(*scanner->serializedData());
  EXPECT_EQ(opened.className(), "DirectoryScanner");
  EXPECT_EQ(KeysWithoutClass(opened.scannerObject()),
            (std::vector<std::string>{"version", "rootPath", "revision", "scanMetadata", "sortPaths",
                                      "excludeHiddenItems", "excludeDSStoreFiles", "userInfo",
                                      "exclusionPredicate", "rootData", "directoryData"}));
  EXPECT_EQ(opened.scannerObject().get("version"), Value(1));
  EXPECT_EQ(opened.scannerObject().get("revision"), Value(1));
  EXPECT_TRUE(opened.scannerObject().get("rootData").isData());
  EXPECT_TRUE(opened.scannerObject().get("directoryData").isData());
}

TEST(CompactForm, OnlyStorableUserInfoEntriesSurvive) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  scanner->setUserInfo(Value("Revision_0004.data"), ".fileName");
  scanner->setUserInfo(Value("kept"), "backupFiles");
  scanner->setUserInfo(Value(1), "");
  auto read = DirectoryScanner::initWithSerializedData(*scanner->serializedData());
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->userInfoForKey(".fileName").isNull());
  EXPECT_TRUE(read->userInfoForKey("").isNull());
  EXPECT_EQ(read->userInfoForKey("backupFiles"), Value("kept"));
  EXPECT_EQ(scanner->userInfoForKey(".fileName"), Value("Revision_0004.data")) << "the original keeps it";
}

TEST(CompactForm, ItemWithoutOptionalPartsIsItsNameAndTheBlock) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", true);
  DirectoryItemMap items;
  items.insertOrAssign("a.txt", FileRecord(42));
  scanner->directories().emplace("", std::move(items));
  auto opened = OpenCompact(*scanner->serializedData());
  EXPECT_FALSE(opened.scannerObject().contains("rootData"));
  Data archive = opened.scannerObject().get("directoryData").asData();

  TypedStreamReader reader(archive);
  EXPECT_EQ(reader.decodeUInt32(), 1u);
  EXPECT_EQ(reader.decodeByteArray(), Data{0}) << "the root's subpath is a lone NUL";
  EXPECT_EQ(reader.decodeUInt32(), 1u);
  EXPECT_EQ(reader.decodeByteArray(), TextElement("a.txt"));
  auto block = reader.decodeByteArray();
  ASSERT_TRUE(block);
  ASSERT_EQ(block->size(), 60u);
  EXPECT_TRUE(reader.atEnd()) << "nothing follows the block";
  EXPECT_TRUE(reader.ok()) << reader.error();

  const Data& b = *block;
  EXPECT_EQ(b[0] | (b[1] << 8), 0100644);
  EXPECT_EQ(b[2] | (b[3] << 8), 0x20);
  EXPECT_EQ(LittleEndian32(b, 4), 1000u);
  EXPECT_EQ(LittleEndian32(b, 8), 100u);
  EXPECT_EQ(LittleEndian32(b, 12), 42u);
  EXPECT_EQ(LittleEndian32(b, 16), 3u);
  EXPECT_EQ(LittleEndian32(b, 20), 17u);
  EXPECT_EQ(LittleEndian32(b, 24), 0u);
  EXPECT_EQ(LittleEndian32(b, 28), 0u);
  EXPECT_EQ(LittleEndian32(b, 32), 0u);
  EXPECT_EQ(LittleEndian64(b, 36), 0x1'0000'0001ULL);
  EXPECT_EQ(LittleEndianDouble(b, 44), 1234567890.125);
  EXPECT_EQ(LittleEndianDouble(b, 52), 1234567999.5);
}

TEST(CompactForm, OptionalPartsFollowTheBlockInOrder) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", true);
  DirectoryItemData root = FileRecord(2);
  root.mode = 040755;
  root.setUserInfo(Value(Data(24, 0x11)));
  root.setACL(std::optional<std::string>("user::rwx\nuser:nobody:r--\n"));
  root.setExtendedAttributes(ExtendedAttributes{{"user.a", Data{1, 2, 3}}, {"user.empty", Data{}}});
  scanner->setRootData(root);
  auto opened = OpenCompact(*scanner->serializedData());
  EXPECT_FALSE(opened.scannerObject().contains("directoryData"));
  Data archive = opened.scannerObject().get("rootData").asData();

  TypedStreamReader reader(archive);
  auto block = reader.decodeByteArray();
  ASSERT_TRUE(block);
  ASSERT_EQ(block->size(), 60u);
  EXPECT_NE(LittleEndian32(*block, 24), 0u);
  EXPECT_NE(LittleEndian32(*block, 28), 0u);
  EXPECT_NE(LittleEndian32(*block, 32), 0u);
  EXPECT_EQ(reader.decodeObject(), Value(Data(24, 0x11)));
  EXPECT_EQ(reader.decodeByteArray(), TextElement("user::rwx\nuser:nobody:r--\n"));
  EXPECT_EQ(reader.decodeUInt32(), 2u);
  EXPECT_EQ(reader.decodeByteArray(), TextElement("user.a"));
  EXPECT_EQ(reader.decodeByteArray(), (Data{3, 0, 0, 0, 1, 2, 3})) << "length prefix, then the value";
  EXPECT_EQ(reader.decodeByteArray(), TextElement("user.empty"));
  EXPECT_EQ(reader.decodeByteArray(), (Data{0, 0, 0, 0}));
  EXPECT_TRUE(reader.atEnd());

  auto read = DirectoryScanner::initWithSerializedData(opened.compact());
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
}

TEST(CompactForm, MarkersOnlyTellWhetherAPartFollows) {
  // Another writer stores whatever it had in the marker fields (pointers).
  DirectoryItemData data = FileRecord(5);
  std::uint8_t block[snapshotarchive::kRecordBlockSize];
  snapshotarchive::EncodeRecordBlock(data, block);
  const std::uint8_t pointer[4] = {0x10, 0x32, 0x54, 0x76};
  std::memcpy(block + 28, pointer, 4);
  TypedStreamWriter writer;
  writer.encodeByteArray(block, sizeof block);
  writer.encodeByteArray(TextElement("group::r--"));
  TypedStreamReader reader(writer.data());
  auto read = snapshotarchive::ReadRecordElements(reader);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->acl());
  EXPECT_EQ(*read->acl(), "group::r--");
  EXPECT_FALSE(read->userInfo());
  EXPECT_FALSE(read->extendedAttributes());
}

TEST(CompactForm, RefusesAnArchiveOfAnotherVersion) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  auto opened = OpenCompact(*scanner->serializedData());
  opened.scannerObject().set("version", Value(1));
  EXPECT_TRUE(DirectoryScanner::initWithSerializedData(opened.compact())) << "rewritten unchanged: readable";
  opened.scannerObject().set("version", Value(2));
  EXPECT_FALSE(DirectoryScanner::initWithSerializedData(opened.compact()));
  opened.scannerObject().erase("version");
  EXPECT_FALSE(DirectoryScanner::initWithSerializedData(opened.compact()));
}

TEST(CompactForm, RefusesAnArchiveWithoutRootPath) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  auto opened = OpenCompact(*scanner->serializedData());
  opened.scannerObject().erase("rootPath");
  EXPECT_FALSE(DirectoryScanner::initWithSerializedData(opened.compact()));
}

TEST(CompactForm, CompressedBlockIsALevel9ZlibStreamBehindItsLength) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  Data compact = *scanner->serializedData();
  Data archive = *DataTransforms::decompressGZip(compact);
  std::uint32_t length = (std::uint32_t{compact[0]} << 24) | (compact[1] << 16) | (compact[2] << 8) | compact[3];
  EXPECT_EQ(length, archive.size());
  EXPECT_TRUE(PropertyList::isBinary(archive));
  // 0x78 0xDA: deflate with a 32 KiB window at the highest level.
  EXPECT_EQ(compact[4], 0x78);
  EXPECT_EQ(compact[5], 0xDA);
  auto plain = snapshotarchive::CompressArchive(Data(100000, 'x'));
  ASSERT_TRUE(plain);
  EXPECT_EQ(DataTransforms::decompressGZip(*plain), Data(100000, 'x'));
  EXPECT_LT(plain->size(), 1000u);
}

TEST(CompactForm, BytesAfterTheCompressedBlockAreIgnored) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  scanner->setUserInfo(Value("x"), "backupFiles");
  Data compact = *scanner->serializedData();
  // An encrypted download keeps the stored (padded) length.
  Data padded = compact;
  padded.resize(compact.size() + 16, 0);
  auto read = DirectoryScanner::initWithSerializedData(padded);
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
}

TEST(CompactForm, UserInfoTheRecordArchiveCannotHoldFailsTheWholeForm) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  DirectoryItemData root;
  root.mode = 040000;
  root.setUserInfo(Value(std::make_shared<Url>(*Url::URLWithString("http://example.com/"))));
  scanner->setRootData(root);
  EXPECT_FALSE(scanner->serializedData());
}

TEST_F(SnapshotForms, PythonFindsTheScannerInTheKeyedArchive) {
  auto scanner = ScannedSnapshot();
  TempDir dir;
  WriteFile(dir / "revision.data", *scanner->serializedData());
  WriteFile(dir / "check.py", R"PY(
import plistlib, struct, sys, zlib
raw = open(sys.argv[1], 'rb').read()
(length,) = struct.unpack('>I', raw[:4])
archive = zlib.decompress(raw[4:])
assert len(archive) == length, (len(archive), length)
top = plistlib.loads(archive)
assert top['$archiver'] == 'NSKeyedArchiver' and top['$version'] == 100000
objects = top['$objects']
scanner = objects[top['$top']['root'].data]
print(objects[scanner['$class'].data]['$classname'])
print(','.join(k for k in scanner if k != '$class'))
print(objects[scanner['rootPath'].data])
print(len(scanner['directoryData']) > 0, scanner['directoryData'][:13].hex())
)PY");
  std::string output;
  ASSERT_EQ(test::RunShell(test::Python() + " '" + (dir / "check.py") + "' '" + (dir / "revision.data") + "'",
                           &output),
            0)
      << output;
  // The directory archive is a typed stream: streamer version 4, then
  // "streamtyped".
  EXPECT_EQ(output, "DirectoryScanner\n"
                    "version,rootPath,revision,scanMetadata,sortPaths,excludeHiddenItems,excludeDSStoreFiles,"
                    "userInfo,exclusionPredicate,rootData,directoryData\n" +
                        tree_->path() + "\nTrue 040b73747265616d7479706564\n");
}

// ---- Hostile compact input

class HostileCompactInput : public ::testing::Test {
 protected:
  void SetUp() override {
    scanner_ = DirectoryScanner::initWithRootDirectory("/srv/source", true);
    DirectoryItemMap top;
    DirectoryItemData folder = FileRecord(10);
    folder.mode = 040755;
    top.insertOrAssign("docs", folder);
    DirectoryItemData file = FileRecord(11);
    file.setUserInfo(Value(Data(24, 3)));
    file.setACL(std::optional<std::string>("user:nobody:r--"));
    file.setExtendedAttributes(ExtendedAttributes{{"user.x", Data{9, 8, 7}}});
    top.insertOrAssign("file.txt", file);
    DirectoryItemMap docs;
    docs.insertOrAssign("inner", FileRecord(12));
    scanner_->directories().emplace("", std::move(top));
    scanner_->directories().emplace("docs", std::move(docs));
    DirectoryItemData root = FileRecord(1);
    root.mode = 040755;
    scanner_->setRootData(root);
    scanner_->setUserInfo(Value(Dictionary{{"a", Value(1)}}), "backupFiles");
    scanner_->setExclusionPredicate(DirectoryScanner::exclusionPredicateWithPaths({"x/y"}, {"z"}));
    compact_ = *scanner_->serializedData();
    opened_ = OpenCompact(compact_);
    directoryArchive_ = opened_.scannerObject().get("directoryData").asData();
  }

  // The compact form with another directory archive in it.
  Data WithDirectoryArchive(const Data& archive) {
    OpenedArchive copy = opened_;
    copy.scannerObject().set("directoryData", Value(archive));
    return copy.compact();
  }

  DirectoryScannerPtr scanner_;
  Data compact_;
  OpenedArchive opened_;
  Data directoryArchive_;
};

TEST_F(HostileCompactInput, EveryTruncationAnswersNull) {
  ASSERT_TRUE(DirectoryScanner::initWithSerializedData(compact_));
  for (std::size_t length = 0; length < compact_.size(); ++length)
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(Data(compact_.begin(), compact_.begin() + length)))
        << length;
  // Truncated archives inside an intact compressed block.
  Data archive = *DataTransforms::decompressGZip(compact_);
  for (std::size_t length = 0; length < archive.size(); length += 7) {
    Data shorter(archive.begin(), archive.begin() + length);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(*DataTransforms::compressGZip(shorter))) << length;
  }
  for (std::size_t length = 0; length < directoryArchive_.size(); ++length) {
    Data shorter(directoryArchive_.begin(), directoryArchive_.begin() + length);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(shorter))) << length;
  }
}

TEST_F(HostileCompactInput, PrefixThatLiesAnswersNull) {
  for (std::uint32_t declared : {0u, 1u, 0x3FFFFFFFu, 0x40000000u, 0xFFFFFFFFu}) {
    Data lying = compact_;
    lying[0] = static_cast<std::uint8_t>(declared >> 24);
    lying[1] = static_cast<std::uint8_t>(declared >> 16);
    lying[2] = static_cast<std::uint8_t>(declared >> 8);
    lying[3] = static_cast<std::uint8_t>(declared);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(lying)) << declared;
  }
  std::uint32_t actual = (std::uint32_t{compact_[0]} << 24) | (compact_[1] << 16) | (compact_[2] << 8) | compact_[3];
  for (std::uint32_t declared : {actual - 1, actual + 1, actual * 2}) {
    Data lying = compact_;
    lying[0] = static_cast<std::uint8_t>(declared >> 24);
    lying[1] = static_cast<std::uint8_t>(declared >> 16);
    lying[2] = static_cast<std::uint8_t>(declared >> 8);
    lying[3] = static_cast<std::uint8_t>(declared);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(lying)) << declared;
  }
}

TEST_F(HostileCompactInput, CountsThatRunPastTheEndAnswerNull) {
  // One directory, counted as 2^32 - 1 of them.
  {
    TypedStreamWriter writer;
    writer.encodeUInt32(0xFFFFFFFF);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(0);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
  // An item count with no items behind it.
  {
    TypedStreamWriter writer;
    writer.encodeUInt32(1);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(0x7FFFFFFF);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
  // An attribute count far beyond the pairs stored.
  {
    DirectoryItemData data = FileRecord(1);
    data.setExtendedAttributes(ExtendedAttributes{{"user.x", Data{1}}});
    std::uint8_t block[snapshotarchive::kRecordBlockSize];
    snapshotarchive::EncodeRecordBlock(data, block);
    TypedStreamWriter writer;
    writer.encodeUInt32(1);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(1);
    writer.encodeByteArray(TextElement("f"));
    writer.encodeByteArray(block, sizeof block);
    writer.encodeUInt32(0xFFFFFFF0);
    writer.encodeByteArray(TextElement("user.x"));
    writer.encodeByteArray(Data{1, 0, 0, 0, 1});
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
  // A value block whose length prefix is larger than the value.
  {
    DirectoryItemData data = FileRecord(1);
    data.setExtendedAttributes(ExtendedAttributes{{"user.x", Data{1}}});
    std::uint8_t block[snapshotarchive::kRecordBlockSize];
    snapshotarchive::EncodeRecordBlock(data, block);
    TypedStreamWriter writer;
    writer.encodeUInt32(1);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(1);
    writer.encodeByteArray(TextElement("f"));
    writer.encodeByteArray(block, sizeof block);
    writer.encodeUInt32(1);
    writer.encodeByteArray(TextElement("user.x"));
    writer.encodeByteArray(Data{0xFF, 0xFF, 0xFF, 0x7F, 1});
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
  // A block shorter than 60 bytes, and an ACL marker with nothing behind it.
  {
    TypedStreamWriter writer;
    writer.encodeUInt32(1);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(1);
    writer.encodeByteArray(TextElement("f"));
    writer.encodeByteArray(Data(59, 0));
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
  {
    DirectoryItemData data = FileRecord(1);
    data.setACL(std::optional<std::string>("x"));
    std::uint8_t block[snapshotarchive::kRecordBlockSize];
    snapshotarchive::EncodeRecordBlock(data, block);
    TypedStreamWriter writer;
    writer.encodeUInt32(1);
    writer.encodeByteArray(Data{0});
    writer.encodeUInt32(1);
    writer.encodeByteArray(TextElement("f"));
    writer.encodeByteArray(block, sizeof block);
    EXPECT_FALSE(DirectoryScanner::initWithSerializedData(WithDirectoryArchive(writer.data())));
  }
}

TEST_F(HostileCompactInput, WrongKindsOfValuesAnswerNull) {
  auto replaced = [&](const char* key, Value value) {
    OpenedArchive copy = opened_;
    copy.scannerObject().set(key, std::move(value));
    return DirectoryScanner::initWithSerializedData(copy.compact());
  };
  EXPECT_FALSE(replaced("directoryData", Value(Data{1, 2, 3})));
  EXPECT_FALSE(replaced("rootData", Value(Data())));
  // The user info pointing at the root path text, the predicate at the
  // user info dictionary.
  Value rootPathUid = opened_.scannerObject().get("rootPath");
  Value userInfoUid = opened_.scannerObject().get("userInfo");
  EXPECT_FALSE(replaced("userInfo", rootPathUid));
  EXPECT_FALSE(replaced("exclusionPredicate", userInfoUid));
  EXPECT_FALSE(replaced("rootPath", userInfoUid));
}

// Random mutations of each layer: the compressed bytes, the keyed archive
// (compressed again, so that it reaches the archive reader) and the
// directory archive (put back into an intact keyed archive). Anything may
// come back, as long as nothing crashes and the answer is null or a scanner.
TEST_F(HostileCompactInput, RandomMutationsNeverCrash) {
  std::mt19937 random(20240611);
  Data keyedArchive = *DataTransforms::decompressGZip(compact_);
  auto mutate = [&](Data bytes) {
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !bytes.empty(); ++e) {
      std::size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0: bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 1: bytes[at] = static_cast<std::uint8_t>(random()); break;
        case 2: bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at)); break;
        default: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random()));
      }
    }
    return bytes;
  };
  int read = 0;
  for (int round = 0; round < 600; ++round) {
    if (DirectoryScanner::initWithSerializedData(mutate(compact_))) ++read;
    if (DirectoryScanner::initWithSerializedData(*DataTransforms::compressGZip(mutate(keyedArchive)))) ++read;
    if (DirectoryScanner::initWithSerializedData(WithDirectoryArchive(mutate(directoryArchive_)))) ++read;
  }
  // Some mutations land in values (dates, sizes) and still read.
  EXPECT_GT(read, 0);
}

// ---- Property-list form

TEST_F(SnapshotForms, FullScanSurvivesThePropertyListFile) {
  auto scanner = ScannedSnapshot();
  TempDir dir;
  std::string path = dir / "Revision_0001.plist.gz";
  ASSERT_TRUE(scanner->writeToFile(path));
  Data file = test::ReadFile(path);
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file[0], 0x1F);
  EXPECT_EQ(file[1], 0x8B);
  std::string xml;
  ASSERT_EQ(test::RunShell("gzip -dc '" + path + "'", &xml), 0);
  EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
  auto read = DirectoryScanner::initWithFile(path);
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
}

TEST_F(SnapshotForms, PropertyListHoldsTheVersion3Keys) {
  auto scanner = ScannedSnapshot();
  Dictionary list = scanner->propertyList();
  EXPECT_EQ(list.keys(), (std::vector<std::string>{"version", "rootPath", "revision", "scanMetadata", "sortPaths",
                                                   "excludeHiddenItems", "excludeDSStoreFiles", "userInfo",
                                                   "exclusionPredicate", "root", "directories"}));
  EXPECT_EQ(list.get("version"), Value(3));
  EXPECT_EQ(list.get("userInfo").asDictionary().keys(), (std::vector<std::string>{"backupFiles", "backup.dates"}));
  EXPECT_EQ(list.get("exclusionPredicate"), Value(scanner->exclusionPredicate()->predicateFormat()));
  const Dictionary& directories = list.get("directories").asDictionary();
  ASSERT_TRUE(directories.contains(""));
  const Dictionary& docs = directories.get("").asDictionary().get("docs").asDictionary();
  EXPECT_FALSE(docs.contains("dataSize")) << "directories have no sizes";
  EXPECT_FALSE(docs.contains("resourceSize"));
  EXPECT_EQ(docs.get("mode").asInt() & 0xF000, 0x4000);
  const Dictionary& report = directories.get("docs").asDictionary().get("report.txt").asDictionary();
  EXPECT_EQ(report.get("dataSize"), Value(3000));
  EXPECT_FALSE(report.contains("resourceSize")) << "zero is left out";
  EXPECT_FALSE(report.contains("userFlags"));
  EXPECT_EQ(report.get("modificationDate").asDouble(), 1500000000.123456789);
  EXPECT_EQ(report.get("extendedAttributes")["comment"], Value(DataFromString("quarterly")));
  EXPECT_EQ(report.get("userInfo").asData().size(), 24u);
  EXPECT_EQ(report.contains("ACL"), haveACLs_);
}

TEST(PropertyListForm, NeverScannedScannerLeavesOutRootUserInfoAndPredicate) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  scanner->setUserInfo(Value("x"), ".fileName");
  Dictionary list = scanner->propertyList();
  EXPECT_EQ(list.keys(), (std::vector<std::string>{"version", "rootPath", "revision", "scanMetadata", "sortPaths",
                                                   "excludeHiddenItems", "excludeDSStoreFiles", "directories"}));
  auto read = DirectoryScanner::initWithPropertyList(Value(list));
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
}

TEST(PropertyListForm, MissingResourceSizeReadsAsZero) {
  Dictionary item{{"nodeID", Value(9)}, {"revision", Value(2)},  {"creationDate", Value(100.5)},
                  {"modificationDate", Value(200.25)}, {"dataSize", Value(77)}, {"mode", Value(0100600)}};
  Dictionary list{{"version", Value(3)},
                  {"rootPath", Value("/srv/source")},
                  {"revision", Value(2)},
                  {"directories", Value(Dictionary{{"", Value(Dictionary{{"f", Value(item)}})}})}};
  auto read = DirectoryScanner::initWithPropertyList(Value(list));
  ASSERT_TRUE(read);
  const DirectoryItemData* f = read->directories().at("").find("f");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->resourceSize, 0u);
  EXPECT_EQ(f->dataSize, 77u);
  EXPECT_EQ(f->nodeID, 9u);
  EXPECT_EQ(f->revision, 2u);
  EXPECT_EQ(f->mode, 0100600);
  EXPECT_EQ(f->userID, 0u) << "missing numbers read as 0";
  EXPECT_EQ(f->creationDate, 100.5);
  EXPECT_EQ(f->modificationDate, 200.25);
  EXPECT_FALSE(read->rootData()) << "no root without \"root\"";
  EXPECT_FALSE(read->sortPaths());
  EXPECT_FALSE(read->exclusionPredicate());
}

TEST(PropertyListForm, Version2NamesExcludeInAnyCaseEverywhere) {
  TempDir tree;
  MakeDirectory(tree / "a");
  MakeDirectory(tree / "a/b");
  WriteFile(tree / "THUMBS.DB", "x");
  WriteFile(tree / "a/b/thumbs.db", "x");
  WriteFile(tree / "a/thumbs.db.txt", "x");
  WriteFile(tree / "a/keep", "x");
  Dictionary list{{"version", Value(2)},
                  {"rootPath", Value(tree.path())},
                  {"headRevision", Value(4)},
                  {"excludedNames", Value(Array{Value("Thumbs.db")})}};
  auto read = DirectoryScanner::initWithPropertyList(Value(list));
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->exclusionPredicate());
  auto result = read->scanRootDirectory();
  ASSERT_TRUE(result);
  EXPECT_EQ(test::Sorted(test::PathsUnder(*result, "excludedPaths")),
            (std::vector<std::string>{"THUMBS.DB", "a/b/thumbs.db"}));
  EXPECT_NE(read->directories().at("a").find("thumbs.db.txt"), nullptr);
}

TEST(PropertyListForm, OlderVersionsReadTheirOwnKeys) {
  Dictionary withSize{{"nodeID", Value(5)},
                      {"revision", Value(1)},
                      {"mode", Value(0100644)},
                      {"userID", Value(501)},
                      {"fileSize", Value(1234)},
                      {"fileModificationDate", Value(Date::fromUnixTime(1600000000.5))},
                      {"resourceSize", Value(99)},
                      {"info", Value(0x1'0000'0007LL)}};
  Dictionary withoutSize{{"nodeID", Value(6)}, {"mode", Value(040755)}, {"modificationDate", Value(3.0)}};
  for (int version : {1, 2}) {
    SCOPED_TRACE(version);
    Dictionary list{{"version", Value(version)},
                    {"rootPath", Value("/srv/source")},
                    {"headRevision", Value(7)},
                    {"revision", Value(99)},
                    {"scanMetadata", Value(true)},
                    {"excludeHiddenItems", Value(true)},
                    {"excludedSubpaths", Value(Array{Value("Docs/Old")})},
                    {"userInfo", Value(Dictionary{{"backupFiles", Value(Dictionary{})}})},
                    {"directories", Value(Dictionary{{"", Value(Dictionary{{"f", Value(withSize)},
                                                                           {"d", Value(withoutSize)}})}})}};
    auto read = DirectoryScanner::initWithPropertyList(Value(list));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->revision(), 7u);
    EXPECT_TRUE(read->sortPaths());
    EXPECT_TRUE(read->isScanningMetadata());
    EXPECT_TRUE(read->excludeHiddenItems());
    EXPECT_FALSE(read->excludeDSStoreFiles());
    EXPECT_EQ(read->userInfoForKey("backupFiles"), Value(Dictionary{}));
    ASSERT_TRUE(read->exclusionPredicate());
    EXPECT_TRUE(read->exclusionPredicate()->isEqualToObject(
        *DirectoryScanner::exclusionPredicateWithPaths({"Docs/Old"}, {})));

    const DirectoryItemData* root = read->rootData();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->mode, 0x4000);
    EXPECT_EQ(root->revision, 7u);
    EXPECT_TRUE(std::isnan(root->creationDate));
    EXPECT_TRUE(std::isnan(root->modificationDate));
    EXPECT_EQ(root->nodeID, 0u);

    const DirectoryItemData* f = read->directories().at("").find("f");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->dataSize, 1234u);
    EXPECT_EQ(f->modificationDate, 1600000000.5);
    EXPECT_TRUE(std::isnan(f->creationDate));
    EXPECT_EQ(f->resourceSize, 0u);
    EXPECT_EQ(f->userID, 501u);
    ASSERT_TRUE(f->userInfo());
    EXPECT_EQ(*f->userInfo(), Value(7)) << "kept as unsigned 32 bits";

    const DirectoryItemData* d = read->directories().at("").find("d");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->dataSize, 0u);
    EXPECT_TRUE(std::isnan(d->modificationDate)) << "no fileSize: no dates";
    EXPECT_TRUE(std::isnan(d->creationDate));
    EXPECT_FALSE(d->userInfo());
  }
}

TEST(PropertyListForm, OlderVersionWithoutExclusionsHasNoPredicate) {
  Dictionary list{{"version", Value(1)}, {"rootPath", Value("/srv/source")}};
  auto read = DirectoryScanner::initWithPropertyList(Value(list));
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->exclusionPredicate());
  EXPECT_EQ(read->revision(), 0u);
  ASSERT_TRUE(read->rootData());
  EXPECT_TRUE(read->directories().empty());
}

TEST(PropertyListForm, RefusesWhatIsNoSnapshotOfAKnownVersion) {
  Dictionary good{{"version", Value(3)}, {"rootPath", Value("/srv/source")}};
  ASSERT_TRUE(DirectoryScanner::initWithPropertyList(Value(good)));
  auto with = [&](const char* key, Value value) {
    Dictionary list = good;
    if (value.isNull()) list.erase(key);
    else list.set(key, std::move(value));
    return DirectoryScanner::initWithPropertyList(Value(list));
  };
  EXPECT_FALSE(with("version", Value(0)));
  EXPECT_FALSE(with("version", Value(4)));
  EXPECT_FALSE(with("version", Value("3")));
  EXPECT_FALSE(with("version", Value()));
  EXPECT_FALSE(with("rootPath", Value()));
  EXPECT_FALSE(with("rootPath", Value("")));
  EXPECT_FALSE(with("exclusionPredicate", Value("NAME ==")));
  EXPECT_FALSE(with("directories", Value(Array{})));
  EXPECT_FALSE(with("directories", Value(Dictionary{{"", Value(3)}})));
  EXPECT_FALSE(with("root", Value("x")));
  EXPECT_FALSE(DirectoryScanner::initWithPropertyList(Value(Array{Value(good)})));
  EXPECT_FALSE(DirectoryScanner::initWithPropertyList(Value()));
}

TEST(PropertyListForm, Version3PredicateIsParsedFromItsFormat) {
  Dictionary list{{"version", Value(3)},
                  {"rootPath", Value("/srv/source")},
                  {"exclusionPredicate", Value("$NAME ==[c] \"core\" OR $FILE_SIZE > 1000")}};
  auto read = DirectoryScanner::initWithPropertyList(Value(list));
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->exclusionPredicate());
  Dictionary variables{{"NAME", Value("CORE")}, {"FILE_SIZE", Value(5)}};
  EXPECT_TRUE(read->exclusionPredicate()->evaluateWithObject(Value(), variables));
  variables.set("NAME", Value("other"));
  EXPECT_FALSE(read->exclusionPredicate()->evaluateWithObject(Value(), variables));
}

TEST(PropertyListFile, ReadFailuresAreLoggedOnlyForUnreadableContent) {
  TempDir dir;
  {
    SystemLogCapture log;
    EXPECT_FALSE(DirectoryScanner::initWithFile(dir / "missing.plist.gz"));
    EXPECT_TRUE(log.lines().empty()) << "an unreadable file is not logged";
  }
  {
    ASSERT_TRUE(DataTransforms::writeToGZipFile(DataFromString("this is no property list"), dir / "text.gz"));
    SystemLogCapture log;
    EXPECT_FALSE(DirectoryScanner::initWithFile(dir / "text.gz"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("initWithFile: NSPropertyListSerialization failed with error \"", 0), 0u)
        << log.lines()[0];
    EXPECT_EQ(log.lines()[0].find("\"(null)\""), std::string::npos) << "the parser's reason is given";
  }
  {
    Data xml = *PropertyList::writeXml(Value(Dictionary{{"version", Value(9)}, {"rootPath", Value("/x")}}));
    ASSERT_TRUE(DataTransforms::writeToGZipFile(xml, dir / "v9.gz"));
    SystemLogCapture log;
    EXPECT_FALSE(DirectoryScanner::initWithFile(dir / "v9.gz"));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"initWithFile: NSPropertyListSerialization failed with error \"(null)\""});
  }
}

TEST(PropertyListFile, WriteFailuresAreLogged) {
  TempDir dir;
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  {
    SystemLogCapture log;
    EXPECT_FALSE(scanner->writeToFile(dir / "no/such/folder/r.plist.gz"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("writeToFile: NSPropertyListSerialization failed with error \"", 0), 0u)
        << log.lines()[0];
  }
  {
    // An XML property list cannot hold an object.
    scanner->setUserInfo(Value(std::make_shared<Url>(*Url::URLWithString("http://example.com/"))), "server");
    SystemLogCapture log;
    EXPECT_FALSE(scanner->writeToFile(dir / "r.plist.gz"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("writeToFile: NSPropertyListSerialization failed with error \"", 0), 0u);
    EXPECT_NE(access((dir / "r.plist.gz").c_str(), F_OK), 0) << "nothing is left behind";
  }
}

TEST(PropertyListFile, BinaryPropertyListFilesAreReadToo) {
  auto scanner = DirectoryScanner::initWithRootDirectory("/srv/source", false);
  scanner->setUserInfo(Value("kept"), "backupFiles");
  TempDir dir;
  ASSERT_TRUE(DataTransforms::writeToGZipFile(*PropertyList::writeBinary(Value(scanner->propertyList())),
                                              dir / "binary.gz"));
  auto read = DirectoryScanner::initWithFile(dir / "binary.gz");
  ASSERT_TRUE(read);
  ExpectSameSnapshot(*scanner, *read);
}

}  // namespace
}  // namespace quorvel
