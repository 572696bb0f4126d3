#include "model/DestinationType.h"

#include "FileTransferController/AmazonS3TransferController.h"

namespace quorvel {

DestinationType DestinationTypeFromURL(const Url& url, const std::string& hostedDiskHost) {
  const std::string& scheme = url.scheme();
  if (scheme == "afp") return kDestinationTypeAFP;
  if (scheme == "smb") return kDestinationTypeSMB;
  if ((scheme == "http" || scheme == "https") && IsS3URL(url)) return kDestinationTypeS3;
  if (scheme == "http") {
    return !hostedDiskHost.empty() && url.host() == hostedDiskHost ? kDestinationTypeHostedDisk
                                                                    : kDestinationTypeWebDAV;
  }
  if (scheme == "https") return kDestinationTypeSecureWebDAV;
  if (scheme == "ftp") return kDestinationTypeFTP;
  if (scheme == "ftps") return kDestinationTypeFTPS;
  if (scheme == "ssh") return kDestinationTypeSFTP;
  return kDestinationTypeFolder;
}

}  // namespace quorvel
