// Destination type codes: the kind of place a destination URL names, as the
// backup settings store it and the setup assistant offers it. The codes are
// stored with every configured backup: never renumber them; a new kind gets
// the next free code.
#pragma once

#include <string>

#include "foundation/Url.h"

namespace quorvel {

enum DestinationType : int {
  kDestinationTypeFolder = 0,        // local or mounted folder ("file", and anything not listed)
  kDestinationTypeAFP = 1,           // "afp"
  kDestinationTypeSMB = 2,           // "smb"
  kDestinationTypeFTP = 3,           // "ftp"
  kDestinationTypeFTPS = 4,          // "ftps"
  kDestinationTypeWebDAV = 5,        // "http"
  kDestinationTypeSecureWebDAV = 6,  // "https"
  kDestinationTypeHostedDisk = 7,    // "http" on the hosted WebDAV disk service's host
  kDestinationTypeSFTP = 8,          // "ssh" (an SFTP server)
  kDestinationTypeS3 = 9,            // "http" or "https" naming an S3 bucket (IsS3URL)
};

// The type of a destination URL. Schemes compare exactly (case-sensitive);
// an "http" URL on `hostedDiskHost` (the hosted disk service's "host" or
// "host:port"; empty when there is none) is the hosted disk; an "http" or
// "https" URL of an S3 bucket (AmazonS3TransferController.h) is S3.
// Anything else, a "file" URL included, is a folder.
DestinationType DestinationTypeFromURL(const Url& url, const std::string& hostedDiskHost);
// The same with the configured hosted disk service (HostedDiskService).
DestinationType DestinationTypeFromURL(const Url& url);

}  // namespace quorvel
