// libFuzzer target: the listings network servers send, which a destination
// does not control: FTP listing lines (every line of the input, one after
// another, as a listing arrives), WebDAV PROPFIND answers (the input as
// the body, with and without a charset) and S3 answers (bucket listings and
// error documents).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/FTPListingParser.h"
#include "FileTransferController/WebDAVTransferController.h"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);

  const Date now = Date::fromUnixTime(1765000000);
  std::string_view rest(text);
  while (!rest.empty()) {
    FTPListingLine line;
    std::size_t used = ParseFTPListingLine(rest, now, line);
    // Every call consumes something, and never more than it was given.
    if (used == 0 || used > rest.size()) std::abort();
    if (line.kind == FTPListingLineKind::Entry && line.name.empty()) std::abort();
    rest.remove_prefix(used);
  }

  for (const char* contentType : {"text/xml", "application/xml; charset=\"utf-8\"", "text/xml; charset=latin1"}) {
    Error error;
    std::optional<Dictionary> listing = ListingFromPROPFINDResponse(text, contentType, "/dav/folder", &error);
    if (listing) {
      for (const auto& [name, attributes] : *listing) {
        if (name.empty()) std::abort();
      }
    }
  }

  std::string problem;
  if (std::optional<S3ListingPage> page = ParseS3ListBucketResult(text, &problem)) {
    if (!problem.empty()) std::abort();
  } else if (problem.empty()) {
    std::abort();
  }
  ParseS3ErrorDocument(text);
  return 0;
}
