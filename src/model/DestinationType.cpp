#include "model/DestinationType.h"

#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/WebDAVTransferController.h"

namespace quorvel {

namespace {

DestinationType TypeFromURL(const Url& url, const HostedDiskService& hostedDisk) {
  const std::string& scheme = url.scheme();
  if (scheme == "afp") return kDestinationTypeAFP;
  if (scheme == "smb") return kDestinationTypeSMB;
  if (scheme == "http" && hostedDisk.matches(url)) return kDestinationTypeHostedDisk;
  if ((scheme == "http" || scheme == "https") && IsS3URL(url)) return kDestinationTypeS3;
  if (scheme == "http") return kDestinationTypeWebDAV;
  if (scheme == "https") return kDestinationTypeSecureWebDAV;
  if (scheme == "ftp") return kDestinationTypeFTP;
  if (scheme == "ftps") return kDestinationTypeFTPS;
  if (scheme == "ssh") return kDestinationTypeSFTP;
  return kDestinationTypeFolder;
}

}  // namespace

DestinationType DestinationTypeFromURL(const Url& url, const std::string& hostedDiskHost) {
  return TypeFromURL(url, HostedDiskService::fromText(hostedDiskHost));
}

DestinationType DestinationTypeFromURL(const Url& url) { return TypeFromURL(url, HostedDiskService::configured()); }

}  // namespace quorvel
