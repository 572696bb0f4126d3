// quorvel-mkbom and quorvel-ditto as the engine runs them, checked against
// the system's own archive readers (bsdtar, GNU cpio).
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "engine/ArchiveSupport.h"
#include "engine/ArchiveWriter.h"
#include "foundation/AppleDouble.h"
#include "foundation/Task.h"
#include "support/HostileArchive.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::ArchiveEntrySpec;
using test::HandMadeArchive;
using test::TempDir;
using test::WriteFile;

const std::string kDitto = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel-ditto";
const std::string kMkbom = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel-mkbom";

struct ToolRun {
  int status = -1;
  Data output;
  Data error;
  std::string errorText() const { return StringFromData(error); }
};

ToolRun RunTool(const std::string& tool, const std::vector<std::string>& arguments, const Data* input = nullptr) {
  ToolRun run;
  Task task(tool, std::nullopt);
  run.status = task.runWithInputData(input, arguments, &run.output, &run.error);
  return run;
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

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.insert(line);
  }
  return lines;
}

// Every path below root (relative, "./" first), links not followed.
std::set<std::string> TreeEntries(const std::string& root) {
  std::set<std::string> entries;
  for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::end(it); ++it) {
    entries.insert("./" + it->path().lexically_relative(root).string());
  }
  return entries;
}

// The shared source tree: 200 small files in ten folders, each with a user
// attribute, every fourth with an ACL, every tenth with a resource fork,
// varied modes and whole-second modification times, plus a few links.
class ArchiveTools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = new TempDir;
    aclsWork_ = true;
    for (int folder = 0; folder < 10; ++folder) {
      const std::string dir = "dir" + std::to_string(folder) + (folder == 3 ? " with space" : "");
      ASSERT_EQ(mkdir((source_->path() + "/" + dir).c_str(), 0755), 0);
      for (int i = 0; i < 20; ++i) {
        const int index = folder * 20 + i;
        const std::string relative = dir + "/file-" + std::to_string(i) + ".txt";
        const std::string path = source_->path() + "/" + relative;
        WriteFile(path, "contents of file " + std::to_string(index) + "\n" + std::string(index, 'x'));
        const std::string value = "attribute " + std::to_string(index);
        ASSERT_EQ(lsetxattr(path.c_str(), "user.index", value.data(), value.size(), 0), 0);
        if (index % 10 == 0) {
          const std::string fork = "resource fork " + std::to_string(index);
          ASSERT_EQ(lsetxattr(path.c_str(), "user.com.apple.ResourceFork", fork.data(), fork.size(), 0), 0);
        }
        const mode_t modes[] = {0644, 0600, 0640, 0755};
        ASSERT_EQ(chmod(path.c_str(), modes[index % 4]), 0);
        if (index % 4 == 1 && aclsWork_) {
          int error = SetACLText(path, "user::rw-\nuser:nobody:r--\ngroup::---\nmask::r--\nother::---\n");
          if (error) {
            aclsWork_ = false;
            noACLReason_ = strerror(error);
          }
        }
        if (index == 7) ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
        members_.push_back(relative);
      }
      const std::string link = dir + "/link";
      ASSERT_EQ(symlink(folder % 2 ? "file-1.txt" : "../dir0/file-2.txt", (source_->path() + "/" + link).c_str()), 0);
      members_.push_back(link);
    }
    if (aclsWork_) {
      ASSERT_EQ(SetACLText(source_->path() + "/dir0",
                           "user::rwx\ngroup::r-x\nother::r-x\ndefault:user::rwx\ndefault:user:nobody:r-x\n"
                           "default:group::r-x\ndefault:mask::r-x\ndefault:other::---\n"),
                0);
    }
    // Modification times last: folders too, since adding entries changed them.
    for (const std::string& member : members_) SetTime(member, 1500000000 + static_cast<long>(member.size()) * 1000);
    for (int folder = 0; folder < 10; ++folder) {
      SetTime("dir" + std::to_string(folder) + (folder == 3 ? " with space" : ""), 1400000000 + folder);
    }
  }

  static void TearDownTestSuite() {
    delete source_;
    source_ = nullptr;
    members_.clear();
  }

  static void SetTime(const std::string& relative, long seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (source_->path() + "/" + relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  static std::string Source(const std::string& relative) { return source_->path() + "/" + relative; }

  // Writes a BOM of the entries (ancestors added) into the work folder.
  std::string MakeBom(const std::vector<std::string>& entries, const std::string& name = "bom") {
    const std::string list = work / (name + ".list");
    const std::string bom = work / name;
    WriteFile(list, BomFileListText(entries));
    ToolRun run = RunTool(kMkbom, {"-s", "-i", list, bom});
    EXPECT_EQ(run.status, 0) << run.errorText();
    return bom;
  }

  // The members plus the companions of those with metadata.
  static std::vector<std::string> WithCompanions(const std::vector<std::string>& members) {
    std::vector<std::string> entries = members;
    for (const std::string& member : members) {
      if (HasAppleDoubleMetadata(Source(member))) entries.push_back(AppleDoubleCompanionPath(member));
    }
    for (int folder = 0; folder < 10; ++folder) {
      const std::string dir = "dir" + std::to_string(folder) + (folder == 3 ? " with space" : "");
      if (HasAppleDoubleMetadata(Source(dir))) entries.push_back(AppleDoubleCompanionPath(dir));
    }
    return entries;
  }

  ToolRun Create(const std::string& bom, bool compress) {
    return RunTool(kDitto, {"-V", "-c", compress ? "-j" : "--rsrc", "--noqtn", "--bom", bom, source_->path(), "-"});
  }

  ToolRun Extract(const std::string& bom, const Data& archive, const std::string& destination) {
    return RunTool(kDitto, {"-x", "--bom", bom, "-", destination}, &archive);
  }

  // Names a reader lists for the archive, "./" kept.
  std::set<std::string> Listed(const std::string& command) {
    std::string output;
    EXPECT_EQ(test::RunShell(command, &output), 0) << command;
    return Lines(output);
  }

  // Every BOM entry but the root, as archived names.
  static std::set<std::string> ArchivedNames(const std::vector<std::string>& entries) {
    std::set<std::string> names;
    std::string list = BomFileListText(entries);
    for (const std::string& line : Lines(list)) {
      if (line != ".") names.insert(line);
    }
    return names;
  }

  static inline TempDir* source_ = nullptr;
  static inline std::vector<std::string> members_;
  static inline bool aclsWork_ = true;
  static inline std::string noACLReason_;

  TempDir work;
};

// ---------------------------------------------------------------- creating

TEST_F(ArchiveTools, ACompressedArchiveListsInBsdtarWithExactlyTheMembersAndTheirCompanions) {
  if (!test::HaveProgram("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  ToolRun run = Create(MakeBom(members_), true);
  ASSERT_EQ(run.status, 0) << run.errorText();
  ASSERT_GE(run.output.size(), 2u);
  EXPECT_EQ(run.output[0], 0x1f);
  EXPECT_EQ(run.output[1], 0x8b) << "gzip";
  const std::string archive = work / "Archive_0001.cpgz";
  WriteFile(archive, run.output);

  std::set<std::string> expected = ArchivedNames(WithCompanions(members_));
  EXPECT_EQ(Listed("bsdtar -tf '" + archive + "'"), expected);
  // 200 files, 10 links, 10 folders, a companion for each file (its
  // attribute) and for dir0 when ACLs work (its default ACL).
  EXPECT_EQ(expected.size(), 200u + 10 + 10 + 200 + (aclsWork_ ? 1 : 0));

  std::string verbose;
  ASSERT_EQ(test::RunShell("bsdtar -tvf '" + archive + "'", &verbose), 0);
  EXPECT_NE(verbose.find("-rwxr-xr-x"), std::string::npos);
  EXPECT_NE(verbose.find("./dir1/link -> file-1.txt"), std::string::npos);
  EXPECT_NE(verbose.find(" 65534 "), std::string::npos) << "the owner of file 7";
}

// Members that look random are stored, not compressed: the archive is
// barely larger than them, the text beside them still shrinks, and any
// reader gets both back.
TEST_F(ArchiveTools, RandomMembersAreStoredAndTheRestCompressedInOneGzipStream) {
  if (!test::HaveProgram("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  TempDir mixed;
  std::string random(std::size_t{2} << 20, '\0');
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  for (char& byte : random) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state >> 56);
  }
  std::string text;
  while (text.size() < (std::size_t{2} << 20)) text += "line " + std::to_string(text.size() % 977) + " of some text\n";
  const std::vector<std::string> members{"a.txt", "b.bin", "c.txt"};
  WriteFile(mixed / "a.txt", text);
  WriteFile(mixed / "b.bin", random);
  WriteFile(mixed / "c.txt", text);
  ToolRun run = RunTool(kDitto, {"-c", "-j", "--noqtn", "--bom", MakeBom(members), mixed.path(), "-"});
  ASSERT_EQ(run.status, 0) << run.errorText();
  EXPECT_GT(run.output.size(), random.size());
  EXPECT_LT(run.output.size(), random.size() + (std::size_t{128} << 10));

  const std::string archive = work / "mixed.cpgz";
  WriteFile(archive, run.output);
  const std::string out = work / "out";
  std::filesystem::create_directories(out);
  ASSERT_EQ(test::RunShell("cd '" + out + "' && bsdtar -xf '" + archive + "'"), 0);
  EXPECT_EQ(StringFromData(test::ReadFile(out + "/a.txt")), text);
  EXPECT_TRUE(StringFromData(test::ReadFile(out + "/b.bin")) == random);
  EXPECT_EQ(StringFromData(test::ReadFile(out + "/c.txt")), text);
}

TEST_F(ArchiveTools, AnUncompressedArchiveIsPortableCpioThatGnuCpioLists) {
  if (!test::HaveProgram("cpio")) GTEST_SKIP() << "GNU cpio is not installed";
  ToolRun run = Create(MakeBom(members_), false);
  ASSERT_EQ(run.status, 0) << run.errorText();
  ASSERT_GE(run.output.size(), 6u);
  EXPECT_EQ(StringFromData(Data(run.output.begin(), run.output.begin() + 6)), "070707") << "odc magic";
  const std::string archive = work / "Archive_0002.cpio";
  WriteFile(archive, run.output);
  EXPECT_EQ(Listed("cpio --quiet -it < '" + archive + "'"), ArchivedNames(WithCompanions(members_)));
  std::string verbose;
  ASSERT_EQ(test::RunShell("cpio --quiet -itv < '" + archive + "'", &verbose), 0);
  EXPECT_NE(verbose.find("./dir3 with space/file-0.txt"), std::string::npos) << verbose.substr(0, 2000);
  EXPECT_NE(verbose.find("./dir0/link -> ../dir0/file-2.txt"), std::string::npos);
}

TEST_F(ArchiveTools, TheVerboseReportParsesToExactlyTheArchivedFilesAndLinks) {
  ToolRun run = Create(MakeBom(members_), true);
  ASSERT_EQ(run.status, 0) << run.errorText();
  std::vector<std::string> other;
  auto reported = ParseDittoReport(run.error, &other);
  EXPECT_EQ(reported, std::set<std::string>(members_.begin(), members_.end()));
  EXPECT_TRUE(other.empty()) << other.front();
}

// The engine makes its archives in its own process: the same bytes, report
// and status as the tool, and every regular member's data handed over as it
// is archived.
TEST_F(ArchiveTools, TheEngineWritesTheToolsArchivesInItsOwnProcess) {
  class Collector : public ArchiveEntryObserver {
   public:
    ArchiveWriter::MemberData dataOfEntry(const std::string& relative) override {
      return [this, relative](const std::uint8_t* bytes, std::size_t length) {
        Data& data = seen[relative];
        data.insert(data.end(), bytes, bytes + length);
      };
    }
    void entryWasAdded(const std::string& relative) override { added.insert(relative); }
    std::map<std::string, Data> seen;
    std::set<std::string> added;
  };
  const std::vector<std::string> partial = {members_[0], "dir0/vanished.txt", "../outside", members_[1]};
  for (const std::vector<std::string>& entries : {WithCompanions(members_), partial}) {
    for (bool compress : {false, true}) {
      SCOPED_TRACE(std::string(compress ? "compressed, " : "plain, ") + std::to_string(entries.size()) + " entries");
      ToolRun tool = Create(MakeBom(entries), compress);
      Data archive;
      std::string report;
      Collector collector;
      auto bomEntries = ParseBomFileList(BomFileListText(entries));
      ASSERT_TRUE(bomEntries);
      int status = WriteArchiveOfEntries(
          source_->path(), *bomEntries, compress, true,
          [&archive](const void* bytes, std::size_t length) {
            archive.insert(archive.end(), static_cast<const std::uint8_t*>(bytes),
                           static_cast<const std::uint8_t*>(bytes) + length);
            return std::string();
          },
          [&report](const std::string& text) { report += text; }, &collector);
      EXPECT_EQ(status, tool.status);
      EXPECT_TRUE(archive == tool.output) << archive.size() << " bytes against " << tool.output.size();
      EXPECT_EQ(report, tool.errorText());
      for (const std::string& member : entries) {
        struct stat status;
        if (lstat(Source(member).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        EXPECT_EQ(collector.added.count(member), 1u) << member;
        EXPECT_TRUE(collector.seen[member] == test::ReadFile(Source(member))) << member;
      }
    }
  }
}

TEST_F(ArchiveTools, AMissingMemberIsLeftOutOfArchiveAndReportWithExitStatusOne) {
  std::vector<std::string> entries = {members_[0], "dir0/vanished.txt", members_[1]};
  ToolRun run = Create(MakeBom(entries), false);
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> other;
  auto reported = ParseDittoReport(run.error, &other);
  EXPECT_EQ(reported, (std::set<std::string>{members_[0], members_[1]}));
  ASSERT_EQ(other.size(), 1u);
  EXPECT_NE(other[0].find("dir0/vanished.txt"), std::string::npos);
  EXPECT_EQ(other[0].find("copying"), std::string::npos);

  const std::string archive = work / "partial.cpio";
  WriteFile(archive, run.output);
  if (test::HaveProgram("bsdtar")) {
    auto listed = Listed("bsdtar -tf '" + archive + "'");
    EXPECT_EQ(listed.count("./dir0/vanished.txt"), 0u);
    EXPECT_EQ(listed.count("./" + members_[1]), 1u);
  }
}

TEST_F(ArchiveTools, EntriesOutsideTheSourceFolderAreNeverArchived) {
  const std::string list = work / "outside.list";
  WriteFile(list, ".\n./dir0\n./dir0/file-0.txt\n./dir0/../../escape\n./dir0//file-1.txt\n");
  const std::string bom = work / "outside.bom";
  ASSERT_EQ(RunTool(kMkbom, {"-s", "-i", list, bom}).status, 0);
  ToolRun run = Create(bom, false);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ParseDittoReport(run.error, nullptr), (std::set<std::string>{"dir0/file-0.txt"}));
  EXPECT_NE(run.errorText().find("refusing ./dir0/../../escape"), std::string::npos);
  const std::string archive = work / "outside.cpio";
  WriteFile(archive, run.output);
  if (test::HaveProgram("bsdtar")) {
    std::set<std::string> expected{"./dir0", "./dir0/file-0.txt", "./dir0/._file-0.txt"};
    if (aclsWork_) expected.insert("./._dir0");
    EXPECT_EQ(Listed("bsdtar -tf '" + archive + "'"), expected);
  }
}

TEST_F(ArchiveTools, NothingToArchiveIsAFatalError) {
  ToolRun run = Create(MakeBom({"gone/one", "gone/two"}), true);
  EXPECT_GT(run.status, 1);
  EXPECT_TRUE(ParseDittoReport(run.error, nullptr).empty());
  ToolRun noBom = RunTool(kDitto, {"-V", "-c", "-j", "--noqtn", "--bom", work / "absent", source_->path(), "-"});
  EXPECT_GT(noBom.status, 1);
  EXPECT_NE(noBom.errorText().find("bill of materials"), std::string::npos);
}

// ---------------------------------------------------------------- extracting

TEST_F(ArchiveTools, ExtractionRestoresContentsModesTimesOwnersAttributesAndACLs) {
  const std::vector<std::string> entries = WithCompanions(members_);
  ToolRun created = Create(MakeBom(members_), true);
  ASSERT_EQ(created.status, 0) << created.errorText();
  TempDir destination;
  ToolRun run = Extract(MakeBom(entries, "extract-bom"), created.output, destination.path());
  ASSERT_EQ(run.status, 0) << run.errorText();

  std::vector<std::string> items = members_;
  for (int folder = 0; folder < 10; ++folder)
    items.push_back("dir" + std::to_string(folder) + (folder == 3 ? " with space" : ""));
  for (const std::string& item : items) {
    SCOPED_TRACE(item);
    const std::string from = Source(item);
    const std::string to = destination / item;
    struct stat a, b;
    ASSERT_EQ(lstat(from.c_str(), &a), 0);
    ASSERT_EQ(lstat(to.c_str(), &b), 0);
    EXPECT_EQ(a.st_mode, b.st_mode);
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec);
    EXPECT_EQ(a.st_uid, b.st_uid);
    EXPECT_EQ(a.st_gid, b.st_gid);
    if (S_ISREG(a.st_mode)) {
      EXPECT_EQ(test::ReadFile(from), test::ReadFile(to));
    } else if (S_ISLNK(a.st_mode)) {
      EXPECT_EQ(std::filesystem::read_symlink(from), std::filesystem::read_symlink(to));
    }
    EXPECT_EQ(Attributes(from), Attributes(to));
    EXPECT_EQ(ACLTextForPath(from), ACLTextForPath(to));
  }
  // The companions were merged, not left on disk.
  EXPECT_EQ(TreeEntries(destination.path()), ArchivedNames(members_));
  if (!aclsWork_) GTEST_SKIP() << "ACLs unavailable here: " << noACLReason_;
  EXPECT_TRUE(ACLTextForPath(destination / "dir0/file-1.txt"));
  EXPECT_NE(ACLTextForPath(destination / "dir0")->find("default:user:nobody:r-x"), std::string::npos);
}

TEST_F(ArchiveTools, ExtractsOnlyTheBomsEntriesFromPlainGzipAndBzip2Streams) {
  ToolRun created = Create(MakeBom(members_), false);
  ASSERT_EQ(created.status, 0) << created.errorText();
  const std::vector<std::string> chosen = {"dir2/file-3.txt", "dir3 with space/link",
                                           AppleDoubleCompanionPath("dir2/file-3.txt")};
  const std::string bom = MakeBom(chosen, "chosen");
  std::vector<std::pair<std::string, Data>> streams = {{"plain", created.output}};
  const std::string plain = work / "plain.cpio";
  WriteFile(plain, created.output);
  for (const char* compressor : {"gzip", "bzip2"}) {
    if (!test::HaveProgram(compressor)) continue;
    const std::string packed = work / (std::string("packed.") + compressor);
    ASSERT_EQ(test::RunShell(std::string(compressor) + " -c < '" + plain + "' > '" + packed + "'"), 0);
    streams.emplace_back(compressor, test::ReadFile(packed));
  }
  for (const auto& [kind, stream] : streams) {
    SCOPED_TRACE(kind);
    TempDir destination;
    ToolRun run = Extract(bom, stream, destination.path());
    ASSERT_EQ(run.status, 0) << run.errorText();
    EXPECT_EQ(TreeEntries(destination.path()),
              (std::set<std::string>{"./dir2", "./dir2/file-3.txt", "./dir3 with space",
                                     "./dir3 with space/link"}));
    EXPECT_EQ(Attributes(destination / "dir2/file-3.txt")["user.index"], DataFromString("attribute 43"));
  }
}

TEST_F(ArchiveTools, ExistingFoldersInTheDestinationAreFine) {
  ToolRun created = Create(MakeBom({"dir5/file-0.txt"}), true);
  ASSERT_EQ(created.status, 0) << created.errorText();
  TempDir destination;
  ASSERT_EQ(mkdir((destination / "dir5").c_str(), 0700), 0);
  WriteFile(destination / "dir5/other", "kept");
  ToolRun run = Extract(MakeBom({"dir5/file-0.txt"}, "again"), created.output, destination.path());
  ASSERT_EQ(run.status, 0) << run.errorText();
  EXPECT_EQ(test::ReadFile(destination / "dir5/file-0.txt"), test::ReadFile(Source("dir5/file-0.txt")));
  EXPECT_EQ(test::ReadFile(destination / "dir5/other"), DataFromString("kept"));
}

TEST_F(ArchiveTools, AnEntryListedButAbsentFromTheArchiveFailsTheExtraction) {
  ToolRun created = Create(MakeBom({"dir6/file-0.txt"}), false);
  ASSERT_EQ(created.status, 0) << created.errorText();
  TempDir destination;
  ToolRun run = Extract(MakeBom({"dir6/file-0.txt", "dir6/file-1.txt"}, "more"), created.output, destination.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errorText().find("./dir6/file-1.txt"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(destination / "dir6/file-0.txt"));
}

// ---------------------------------------------------------------- hostile archives

TEST_F(ArchiveTools, ExtractionRefusesAbsoluteAndClimbingNamesAndWritesNothingOutside) {
  // Destination and an outside folder side by side in one parent.
  TempDir parent;
  const std::string destination = parent / "destination";
  const std::string outside = parent / "outside";
  ASSERT_EQ(mkdir(destination.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  const std::string unique = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
  const std::string absolute = outside + "/evil-absolute-" + unique;

  Data archive = HandMadeArchive({
      {"./ok.txt", AE_IFREG, "fine"},
      {"../evil-" + unique, AE_IFREG, "climbed"},
      {"./sub/../../outside/evil-nested-" + unique, AE_IFREG, "climbed"},
      {absolute, AE_IFREG, "absolute"},
      {"./link", AE_IFLNK, outside},
      {"./link/escaped-" + unique, AE_IFREG, "through a link"},
  });
  // The BOM lists all of them, so that only the tool's own checks stand in the way.
  const std::string list = work / "evil.list";
  WriteFile(list, ".\n./ok.txt\n./../evil-" + unique + "\n./sub\n./sub/../../outside/evil-nested-" + unique +
                      "\n./link\n./link/escaped-" + unique + "\n." + absolute + "\n");
  const std::string bom = work / "evil.bom";
  ASSERT_EQ(RunTool(kMkbom, {"-s", "-i", list, bom}).status, 0);

  ToolRun run = Extract(bom, archive, destination);
  EXPECT_EQ(run.status, 1) << run.errorText();
  EXPECT_NE(run.errorText().find("refusing"), std::string::npos);
  EXPECT_EQ(test::ReadFile(destination + "/ok.txt"), DataFromString("fine"));
  EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing written outside";
  EXPECT_EQ(TreeEntries(parent.path()),
            (std::set<std::string>{"./destination", "./outside", "./destination/ok.txt", "./destination/link"}));
}

TEST_F(ArchiveTools, ExtractionRefusesToWriteThroughALinkAlreadyInTheDestination) {
  TempDir parent;
  const std::string destination = parent / "destination";
  const std::string outside = parent / "outside";
  ASSERT_EQ(mkdir(destination.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(symlink(outside.c_str(), (destination + "/sub").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (destination + "/final").c_str()), 0);

  Data archive = HandMadeArchive({{"./sub/file.txt", AE_IFREG, "through the link"},
                                  {"./final", AE_IFREG, "replaces the link"}});
  ToolRun run = Extract(MakeBom({"sub/file.txt", "final"}), archive, destination);
  EXPECT_EQ(run.status, 1) << run.errorText();
  EXPECT_NE(run.errorText().find("symbolic link"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing written outside";
  // A link in the very place of an entry is replaced, not followed.
  struct stat status;
  ASSERT_EQ(lstat((destination + "/final").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(test::ReadFile(destination + "/final"), DataFromString("replaces the link"));
}

TEST_F(ArchiveTools, ExtractionRefusesNamedPipesAndDevicesWithAMessage) {
  struct Case {
    mode_t type;
    const char* named;
  };
  for (const Case& odd : {Case{AE_IFIFO, "named pipe"}, Case{AE_IFCHR, "character device"},
                          Case{AE_IFBLK, "block device"}}) {
    SCOPED_TRACE(odd.named);
    TempDir destination;
    Data archive = HandMadeArchive({{"./ok.txt", AE_IFREG, "fine"}, {"./odd", odd.type, ""}});
    ToolRun run = Extract(MakeBom({"ok.txt", "odd"}), archive, destination.path());
    EXPECT_EQ(run.status, 1) << run.errorText();
    EXPECT_NE(run.errorText().find(std::string("refusing \"./odd\": it is a ") + odd.named +
                                   ", not a file, folder or symbolic link"),
              std::string::npos)
        << run.errorText();
    EXPECT_EQ(TreeEntries(destination.path()), std::set<std::string>{"./ok.txt"});
  }
}

TEST_F(ArchiveTools, ExtractionNeverReplacesAFolderInTheDestination) {
  struct Case {
    ArchiveEntrySpec entry;
    const char* named;
  };
  TempDir parent;
  const std::string outside = parent / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  for (const Case& hostile : {Case{{"./sub", AE_IFLNK, outside}, "symbolic link"},
                              Case{{"./sub", AE_IFREG, "a file now"}, "file"}}) {
    SCOPED_TRACE(hostile.named);
    TempDir destination;
    // An empty folder, the kind a restore makes before the archives come.
    ASSERT_EQ(mkdir((destination / "sub").c_str(), 0700), 0);
    Data archive = HandMadeArchive({hostile.entry, {"./sub/file.txt", AE_IFREG, "below"}});
    ToolRun run = Extract(MakeBom({"sub/file.txt"}), archive, destination.path());
    EXPECT_EQ(run.status, 1) << run.errorText();
    EXPECT_NE(run.errorText().find(std::string("refusing \"sub\": a folder is in its place and the archive holds a ") +
                                   hostile.named + " there"),
              std::string::npos)
        << run.errorText();
    struct stat status;
    ASSERT_EQ(lstat((destination / "sub").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(test::ReadFile(destination / "sub/file.txt"), DataFromString("below"));
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing written outside";
  }
}

TEST_F(ArchiveTools, AFileThatOnlyLooksLikeACompanionIsExtractedAsItIs) {
  Data archive = HandMadeArchive({{"./._notes", AE_IFREG, "plain text, not AppleDouble"}, {"./notes", AE_IFREG, "n"}});
  TempDir destination;
  ToolRun run = Extract(MakeBom({"._notes", "notes"}), archive, destination.path());
  ASSERT_EQ(run.status, 0) << run.errorText();
  EXPECT_EQ(test::ReadFile(destination / "._notes"), DataFromString("plain text, not AppleDouble"));
  EXPECT_TRUE(Attributes(destination / "notes").empty());
}

// ---------------------------------------------------------------- command lines

TEST_F(ArchiveTools, WrongArgumentsGiveUsageAndStatusTwo) {
  const std::string bom = MakeBom({"dir0/file-0.txt"});
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"-c", "--bom", bom, source_->path()},
           {"-c", "-x", "--bom", bom, "-", "-"},
           {"-c", "-j", "--rsrc", "--bom", bom, source_->path(), "-"},
           {"-c", "--bom", bom, source_->path(), "out"},
           {"-x", "--bom", bom, "in", work.path()},
           {"-c", "--unknown", "--bom", bom, source_->path(), "-"},
           {"-V", "--bom", bom, source_->path(), "-"},
       }) {
    ToolRun run = RunTool(kDitto, arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.errorText().find("usage"), std::string::npos);
  }
  EXPECT_EQ(RunTool(kMkbom, {"-i", "list"}).status, 2);
}

TEST_F(ArchiveTools, MkbomRejectsMalformedListsWithAMessage) {
  const std::string list = work / "bad.list";
  WriteFile(list, "./a\n./b\n");
  ToolRun run = RunTool(kMkbom, {"-s", "-i", list, work / "bom"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errorText().find("\".\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(work / "bom"));
  run = RunTool(kMkbom, {"-s", "-i", work / "absent.list", work / "bom"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errorText().find("No such file"), std::string::npos);

  WriteFile(list, ".\n./a\n./a/b c\n");
  run = RunTool(kMkbom, {"-s", "-i", list, work / "bom"});
  ASSERT_EQ(run.status, 0) << run.errorText();
  EXPECT_EQ(test::ReadFile(work / "bom"), DataFromString("QUORVEL-BOM 1\n3\n.\n./a\n./a/b c\n"));
}

}  // namespace
}  // namespace quorvel
