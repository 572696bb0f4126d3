// Archives and archivers an attacker could hand a restore: cpio archives
// built entry by entry (any name, any type), and a stand-in for the
// archiving tool that does whatever a test's script says.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace quorvel::test {

struct ArchiveEntrySpec {
  std::string name;
  mode_t type = AE_IFREG;
  std::string contents;  // data, or the link target
};

// A portable cpio archive of exactly the given entries.
inline Data HandMadeArchive(const std::vector<ArchiveEntrySpec>& entries) {
  std::unique_ptr<struct archive, int (*)(struct archive*)> archive(archive_write_new(), archive_write_free);
  archive_write_set_format_cpio_odc(archive.get());
  archive_write_add_filter_none(archive.get());
  std::vector<unsigned char> buffer(1 << 20);
  size_t used = 0;
  EXPECT_EQ(archive_write_open_memory(archive.get(), buffer.data(), buffer.size(), &used), ARCHIVE_OK);
  int node = 0;
  for (const auto& member : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.name.c_str());
    archive_entry_set_filetype(entry, member.type);
    archive_entry_set_perm(entry, member.type == AE_IFDIR ? 0755 : 0644);
    archive_entry_set_ino(entry, ++node);
    archive_entry_set_nlink(entry, 1);
    archive_entry_set_mtime(entry, 1500000000, 0);
    // /dev/null's numbers, for the device entries.
    if (member.type == AE_IFCHR || member.type == AE_IFBLK) archive_entry_set_rdev(entry, makedev(1, 3));
    if (member.type == AE_IFLNK) {
      archive_entry_set_symlink(entry, member.contents.c_str());
      archive_entry_set_size(entry, 0);
    } else {
      archive_entry_set_size(entry, static_cast<la_int64_t>(member.type == AE_IFREG ? member.contents.size() : 0));
    }
    EXPECT_GE(archive_write_header(archive.get(), entry), ARCHIVE_WARN) << member.name;
    if (member.type == AE_IFREG) archive_write_data(archive.get(), member.contents.data(), member.contents.size());
    archive_entry_free(entry);
  }
  EXPECT_EQ(archive_write_close(archive.get()), ARCHIVE_OK);
  return Data(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
}

// Puts a shell script in the archiving tool's place (QUORVEL_DITTO) for
// the object's lifetime. The engine extracts with
// "-x --bom BOM - DESTINATION", so the destination is "$5".
class ArchiverOverride {
 public:
  ArchiverOverride(const std::string& path, const std::string& script) {
    WriteFile(path, "#!/bin/sh\n" + script);
    ::chmod(path.c_str(), 0755);
    ::setenv("QUORVEL_DITTO", path.c_str(), 1);
  }
  ~ArchiverOverride() { ::unsetenv("QUORVEL_DITTO"); }
  ArchiverOverride(const ArchiverOverride&) = delete;
  ArchiverOverride& operator=(const ArchiverOverride&) = delete;
};

}  // namespace quorvel::test
