#include <gtest/gtest.h>

#include "model/DestinationType.h"

#include "FileTransferController/WebDAVTransferController.h"

namespace quorvel {
namespace {

TEST(DestinationType, EachSchemeHasItsCodeAndTheCodesStayPut) {
  const std::string hosted = "disk.example.net";
  struct Case {
    const char* url;
    int type;
  } cases[] = {
      {"file://localhost/srv/backup", 0},
      {"afp://mac.local/Backups", 1},
      {"smb://me@nas/share/b", 2},
      {"ftp://me@ftp.example.org/b", 3},
      {"ftps://me@ftp.example.org:990/b", 4},
      {"http://dav.example.org/b", 5},
      {"https://dav.example.org/b", 6},
      {"http://disk.example.net/me/b", 7},
      {"https://disk.example.net/me/b", 6},  // the hosted disk is recognised over http only
      {"ssh://me@host/~/b", 8},
      {"https://K:S@s3.amazonaws.com/bucket/b", 9},
      {"http://K:S@mybucket.s3.eu-west-1.amazonaws.com/b", 9},
      {"http://K:S@127.0.0.1:9000/bucket/b?s3=1", 9},
      {"SMB://nas/share", 0},  // schemes compare exactly
      {"gopher://x/y", 0},
  };
  for (const Case& c : cases) {
    std::optional<Url> url = Url::URLWithString(c.url);
    ASSERT_TRUE(url) << c.url;
    EXPECT_EQ(DestinationTypeFromURL(*url, hosted), c.type) << c.url;
  }
  // Without a configured hosted disk every http URL is plain WebDAV.
  EXPECT_EQ(DestinationTypeFromURL(*Url::URLWithString("http://disk.example.net/me/b"), ""), kDestinationTypeWebDAV);
}

// The hosted disk service's address with a port, and where a member's disk
// lies on it.
TEST(DestinationType, HostedDiskAddressAndMemberFolder) {
  const std::string hosted = "127.0.0.1:8080";
  EXPECT_EQ(DestinationTypeFromURL(*Url::URLWithString("http://me@127.0.0.1:8080/b"), hosted),
            kDestinationTypeHostedDisk);
  EXPECT_EQ(DestinationTypeFromURL(*Url::URLWithString("http://me@127.0.0.1:8081/b"), hosted), kDestinationTypeWebDAV);
  EXPECT_EQ(DestinationTypeFromURL(*Url::URLWithString("http://me@127.0.0.1/b"), hosted), kDestinationTypeWebDAV);
  for (const char* unusable : {"127.0.0.1:", "127.0.0.1:http", "127.0.0.1:0", "127.0.0.1:70000"}) {
    EXPECT_FALSE(HostedDiskService::fromText(unusable).exists()) << unusable;
  }

  struct Case {
    const char* member;
    const char* basePath;
    const char* expected;
  } cases[] = {
      {"me", "/backups", "/me/backups"}, {"me", "backups", "/me/backups"}, {"me", "", "/me"},
      {"me", "/me", "/me"},              {"me", "/me/b", "/me/b"},        {"me", "/b/me", "/b/me"},
      {"me", "/mine/b", "/me/mine/b"},   {"public", "/b", "/b"},          {"", "/b", "/b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HostedDiskService::memberBasePath(c.member, c.basePath), c.expected) << c.member << " " << c.basePath;
  }
}

}  // namespace
}  // namespace quorvel
