// How names and ACLs recorded on Mac OS X map onto Linux, and back.
#include <gtest/gtest.h>

#include "foundation/ExtendedACLText.h"
#include "foundation/ExtendedAttributeNames.h"

namespace quorvel {
namespace {

TEST(ExtendedAttributeNames, MapBetweenRecordedAndLinuxNames) {
  struct Case {
    const char* linuxName;
    const char* recorded;
  };
  const Case cases[] = {
      {"user.com.apple.FinderInfo", "com.apple.FinderInfo"},
      {"user.appl.dir", "appl.dir"},
      {"user.x", "x"},
      {"trusted.x", "trusted.x"},
      {"security.selinux", "security.selinux"},
      {"system.nfs4_acl", "system.nfs4_acl"},
      // Stripped, these would read as names of another namespace.
      {"user.trusted.x", "user.trusted.x"},
      {"user.user.x", "user.user.x"},
      {"user.", "user."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.linuxName);
    EXPECT_EQ(RecordedAttributeName(c.linuxName), c.recorded);
    EXPECT_EQ(LinuxAttributeName(c.recorded), c.linuxName);
  }
  // Names recorded by earlier versions keep meaning the same attribute.
  EXPECT_EQ(LinuxAttributeName("user.com.apple.FinderInfo"), "user.com.apple.FinderInfo");
}

constexpr const char* kAlice = "user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA000001F5:alice:501:";
constexpr const char* kStaff = "group:ABCDEFAB-CDEF-ABCD-EFAB-CDEF00000014:staff:20:";

std::string Text(std::initializer_list<std::string> entries, const char* header = "!#acl 1") {
  std::string text = header;
  text += "\n";
  for (const std::string& entry : entries) text += entry + "\n";
  return text;
}

using Tag = PosixACLEntry::Tag;

TEST(ExtendedACLText, MapsUserAndGroupEntriesAndNamesWhatItLeavesOut) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<PosixACLEntry> entries;
    std::vector<const char*> unmapped;  // a word each left-out line holds
  };
  const std::string alice = kAlice;
  const std::string staff = kStaff;
  const Case cases[] = {
      {"read and write", Text({alice + "allow:read,write"}), {{Tag::User, 501, 6}}, {}},
      {"directory words", Text({staff + "allow:list,search,add_file"}), {{Tag::Group, 20, 7}}, {}},
      {"deny entry", Text({alice + "deny:delete"}), {}, {"deny"}},
      {"inheritance kept out", Text({alice + "allow:read,file_inherit,directory_inherit"}), {{Tag::User, 501, 4}},
       {"file_inherit,directory_inherit"}},
      {"only for new items", Text({alice + "allow:read,only_inherit"}), {}, {"only passes on"}},
      {"inherited entry", Text({alice + "allow:execute,inherited"}), {{Tag::User, 501, 1}}, {}},
      {"unknown user", Text({"user:FFFFEEEE-DDDD-CCCC-BBBB-AAAA000001F6:::allow:read"}), {}, {"without a user"}},
      {"permissions without POSIX counterpart", Text({staff + "allow:read,delete,chown,readattr"}),
       {{Tag::Group, 20, 4}}, {"delete,chown,readattr"}},
      {"nothing POSIX left", Text({staff + "allow:writesecurity"}), {}, {"writesecurity"}},
      {"ACL flags", Text({alice + "allow:read"}, "!#acl 1 defer_inherit"), {{Tag::User, 501, 4}},
       {"defer_inherit"}},
      {"entries joined and ordered", Text({staff + "allow:read", alice + "allow:read", alice + "allow:write"}),
       {{Tag::User, 501, 6}, {Tag::Group, 20, 4}}, {}},
      {"unreadable line", Text({"everyone allow read"}), {}, {"not understood"}},
      {"header only", Text({}), {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(IsExtendedACLText(c.text));
    std::optional<ExtendedACLMapping> mapping = MapExtendedACLText(c.text);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->entries, c.entries);
    ASSERT_EQ(mapping->unmapped.size(), c.unmapped.size());
    for (std::size_t i = 0; i < c.unmapped.size(); ++i)
      EXPECT_NE(mapping->unmapped[i].find(c.unmapped[i]), std::string::npos) << mapping->unmapped[i];
  }
  EXPECT_FALSE(MapExtendedACLText("!#acl 2\n" + alice + "allow:read\n"));
  EXPECT_FALSE(IsExtendedACLText("user::rw-\ngroup::r--\nother::r--\n"));
}

TEST(ExtendedACLText, BuildsAPosixTextAroundTheEntries) {
  EXPECT_EQ(PosixACLTextForEntries({{Tag::User, 501, 6}, {Tag::Group, 20, 5}}, 0640),
            "user::rw-\nuser:501:rw-\ngroup::r--\ngroup:20:r-x\nother::---\n");
  EXPECT_EQ(PosixACLTextForEntries({}, 0644), "");
}

TEST(ExtendedACLText, RestoredACLsMatchTheRecordedText) {
  const std::string recorded =
      Text({std::string(kAlice) + "allow:read,write,delete", std::string(kStaff) + "deny:read"});
  const std::string restored = "user::rw-\nuser:501:rw-\ngroup::r--\nmask::rw-\nother::r--\n";
  struct Case {
    const char* name;
    std::optional<std::string> recorded;
    std::optional<std::string> restored;
    bool match;
  };
  const Case cases[] = {
      {"mapped entries", recorded, restored, true},
      {"with an effective-rights comment", recorded, "user::rw-\nuser:501:rw-\t#effective:r--\ngroup::r--\n", true},
      {"permissions differ", recorded, "user::rw-\nuser:501:r--\ngroup::r--\nmask::r--\nother::r--\n", false},
      {"an entry too many", recorded, restored + "group:20:r--\n", false},
      {"no ACL restored", recorded, std::nullopt, false},
      {"nothing mappable and no ACL", Text({std::string(kStaff) + "deny:read"}), std::nullopt, true},
      {"POSIX texts equal", restored, restored, true},
      {"POSIX texts differ", restored, "user::rw-\n", false},
      {"neither has one", std::nullopt, std::nullopt, true},
      {"only the restored one", std::nullopt, restored, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ACLTextsMatch(c.recorded, c.restored), c.match);
  }
}

}  // namespace
}  // namespace quorvel
