// PROPFIND answers as Apache mod_dav and lighttpd mod_webdav wrote them
// (tests/data/webdav), read into listings; the MIME types of uploads; the
// TLS words of a destination URL.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "FileTransferController/WebDAVTransferController.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

std::string Fixture(const std::string& name) {
  Data bytes = test::ReadTestData("webdav/" + name);
  return std::string(bytes.begin(), bytes.end());
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// What the captured folder holds: "sub folder/", "hello.txt" (12 bytes),
// "café & more.bin" (1 byte), all made at 2026-12-08 19:51:43 GMT.
constexpr double kCapturedTime = 1796759503.0;

struct ListingCase {
  const char* name;
  std::function<std::string()> body;
  const char* contentType;
  // Expected: the entries, or the error's text when it fails.
  bool parses;
  const char* errorText;
  bool hasCreationDates;
  bool directorySizes;
};

TEST(WebDAVListingTest, ReadsTheAnswersOfRealServers) {
  const std::vector<ListingCase> cases = {
      {"Apache, all properties (\"lp1:\" prefix for live properties)", [] { return Fixture("apache-propfind.xml"); },
       "text/xml; charset=\"utf-8\"", true, "", true, false},
      {"Apache, chosen properties (\"g0:\" for a missing one, 404 propstat)",
       [] { return Fixture("apache-propfind-properties.xml"); }, "text/xml; charset=\"utf-8\"", true, "", true,
       false},
      {"lighttpd (\"D:\" everywhere, application/xml)", [] { return Fixture("lighttpd-propfind.xml"); },
       "application/xml;charset=utf-8", true, "", false, true},
      {"lighttpd with the DAV: namespace as the default namespace",
       [] {
         return Replaced(Replaced(Fixture("lighttpd-propfind.xml"), "D:", ""), "xmlns:D=", "xmlns=");
       },
       "text/xml", true, "", false, true},
      {"Apache with every prefix renamed", [] { return Replaced(Replaced(Fixture("apache-propfind.xml"), "D:", "dav:"), "xmlns:D=", "xmlns:dav="); },
       "text/xml", true, "", true, false},
      {"hrefs as full URLs, an unknown charset",
       [] { return Replaced(Fixture("lighttpd-propfind.xml"), "<D:href>/dav/", "<D:href>https://h:1/dav/"); },
       "application/xml; charset=x-unknown", true, "", false, true},
      {"the folder spelled differently (first answer taken for it)",
       [] { return Replaced(Fixture("apache-propfind.xml"), "<D:href>/dav/cap/</D:href>", "<D:href>/dav/c%61p/x/..</D:href>"); },
       "text/xml", true, "", true, false},
      {"other namespace than DAV:",
       [] { return Replaced(Fixture("lighttpd-propfind.xml"), "xmlns:D=\"DAV:\"", "xmlns:D=\"urn:other\""); },
       "text/xml", false, "Could not read the folder listing: it is not a WebDAV multistatus", false, false},
      {"one byte corrupt (a tag's \"<\")",
       [] {
         std::string body = Fixture("apache-propfind.xml");
         body[body.find("<D:href>/dav/cap/hello.txt")] = '(';
         return body;
       },
       "text/xml", false, "Could not read the folder listing: Start-end tags mismatch", false, false},
      {"cut short", [] { std::string body = Fixture("lighttpd-propfind.xml"); return body.substr(0, body.size() / 2); },
       "application/xml", false, "Could not read the folder listing:", false, false},
      {"an HTML page", [] { return Fixture("apache-propfind.xml"); }, "text/html; charset=iso-8859-1", false,
       "Unsupported MIME type \"text/html\"", false, false},
      {"no content type", [] { return Fixture("apache-propfind.xml"); }, "", false, "Unsupported HTTP response",
       false, false},
  };
  for (const ListingCase& test : cases) {
    SCOPED_TRACE(test.name);
    Error error;
    std::optional<Dictionary> listing =
        ListingFromPROPFINDResponse(test.body(), test.contentType, "/dav/cap/", &error);
    if (!test.parses) {
      EXPECT_FALSE(listing);
      EXPECT_EQ(error.localizedDescription().rfind(test.errorText, 0), 0u) << error.localizedDescription();
      continue;
    }
    ASSERT_TRUE(listing) << error.localizedDescription();
    std::vector<std::string> names = listing->keys();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"café & more.bin", "hello.txt", "sub folder"}));
    const Dictionary& hello = listing->get("hello.txt").asDictionary();
    EXPECT_EQ(hello.get(kFileType).asString(), kFileTypeRegular);
    EXPECT_EQ(hello.get(kFileSize).asUInt(), 12u);
    EXPECT_EQ(hello.get(kFileModificationDate).asDate().timeIntervalSince1970(), kCapturedTime);
    EXPECT_EQ(listing->get("café & more.bin")[kFileSize].asUInt(), 1u);
    const Dictionary& folder = listing->get("sub folder").asDictionary();
    EXPECT_EQ(folder.get(kFileType).asString(), kFileTypeDirectory);
    // A property the server answered with 404 is not there.
    EXPECT_EQ(folder.get(kFileSize).isNull(), !test.directorySizes);
    if (test.hasCreationDates) {
      EXPECT_EQ(hello.get(kFileCreationDate).asDate().timeIntervalSince1970(), kCapturedTime);
    } else {
      EXPECT_TRUE(hello.get(kFileCreationDate).isNull());
    }
  }
}

TEST(WebDAVListingTest, ListsEveryEntryOfALargeFolder) {
  // 5,000 entries in lighttpd's form, the folder itself last.
  const std::string captured = Fixture("lighttpd-propfind.xml");
  const std::size_t first = captured.find("<D:response>");
  const std::size_t second = captured.find("<D:response>", first + 1);
  const std::size_t last = captured.rfind("<D:response>");
  const std::string self = captured.substr(first, second - first);
  const std::string entry = captured.substr(last, captured.find("</D:multistatus>") - last);
  std::string body = captured.substr(0, first);
  for (int i = 0; i < 5000; ++i) body += Replaced(entry, "hello.txt", "file" + std::to_string(i));
  body += self + "</D:multistatus>\n";
  Error error;
  std::optional<Dictionary> listing = ListingFromPROPFINDResponse(body, "application/xml", "/dav/cap", &error);
  ASSERT_TRUE(listing) << error.localizedDescription();
  EXPECT_EQ(listing->size(), 5000u);
  EXPECT_TRUE(listing->get("file4999").isDictionary());
  EXPECT_TRUE(listing->get("cap").isNull());
}

TEST(WebDAVListingTest, MIMETypesComeFromTheTypesFile) {
  test::TempDir folder;
  test::WriteFile(folder / "mime.types",
            "# comment\ntext/plain\t\ttxt text\napplication/x-first  dup\napplication/x-second dup\n"
            "image/jpeg jpeg jpg\n");
  const std::string types = folder / "mime.types";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a/notes.txt", "text/plain"},
      {"/a/PHOTO.JPG", "image/jpeg"},
      {"x.dup", "application/x-first"},
      {"/a/Revision_0001.data", "application/octet-stream"},
      {"/a/no-extension", "application/octet-stream"},
      {"/a.b/trailing.", "application/octet-stream"},
  };
  for (const auto& [path, type] : cases) EXPECT_EQ(MIMETypeForPath(path, types), type) << path;
  EXPECT_EQ(MIMETypeForPath("x.txt", folder / "missing.types"), "application/octet-stream");
}

TEST(WebDAVListingTest, DestinationURLsChooseTheClassAndTheCertificateCheck) {
  struct URLCase {
    const char* url;
    const char* className;
    bool validationDisabled;
    const char* caFile;
  };
  const std::vector<URLCase> cases = {
      {"http://u@host:8080/dav/x", "WebDAVTransferController", false, ""},
      {"https://u@host/dav/x", "SecureWebDAVTransferController", false, ""},
      {"https://u@host/dav/x?insecure-tls=1", "SecureWebDAVTransferController", true, ""},
      {"https://u@host/dav/x?ca-file=/etc/my%20ca.pem&other=1", "SecureWebDAVTransferController", false,
       "/etc/my ca.pem"},
  };
  for (const URLCase& test : cases) {
    SCOPED_TRACE(test.url);
    std::optional<Url> url = Url::URLWithString(test.url);
    ASSERT_TRUE(url);
    std::shared_ptr<FileTransferController> controller = FileTransferController::fileTransferControllerWithURL(*url);
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->className(), test.className);
    auto* http = dynamic_cast<HTTPTransferController*>(controller.get());
    ASSERT_TRUE(http);
    EXPECT_EQ(http->isSSLCertificateValidationDisabled(), test.validationDisabled);
    EXPECT_EQ(http->certificateAuthorityFile(), test.caFile);
    EXPECT_TRUE(http->hasAtomicUploads());
  }
  EXPECT_FALSE(WebDAVTransferController::initWithBaseURL(*Url::URLWithString("https://host/dav")));
  EXPECT_FALSE(SecureWebDAVTransferController::initWithBaseURL(*Url::URLWithString("http://host/dav")));
}

}  // namespace
}  // namespace quorvel
