// The destination classes this program offers, by URL scheme. A new
// destination kind adds its registration here (see
// FileTransferController::registerClassForScheme for the matching rules).
#include "FileTransferController/AmazonS3TransferController.h"
#include "FileTransferController/FileTransferController.h"
#include "FileTransferController/FTPTransferController.h"
#include "FileTransferController/LocalTransferController.h"
#include "FileTransferController/RemoteTransferController.h"
#include "FileTransferController/SFTPTransferController.h"
#include "FileTransferController/WebDAVTransferController.h"

namespace quorvel {

void RegisterTransferControllerClasses() {
  FileTransferController::registerClassForScheme(
      "file", [](const Url& url) { return LocalTransferController::initWithBaseURL(url); });
  FileTransferController::registerClassForScheme(
      "afp", [](const Url& url) { return AFPTransferController::initWithBaseURL(url); });
  FileTransferController::registerClassForScheme(
      "smb", [](const Url& url) { return SMBTransferController::initWithBaseURL(url); });
  FileTransferController::registerClassForScheme(
      "ssh", [](const Url& url) { return SFTPTransferController::initWithBaseURL(url); });
  // "http" and "https": the hosted disk service on its host, S3 when the
  // host ends with the S3 service domain or the query says "s3"
  // (AmazonS3TransferController.h), else WebDAV.
  FileTransferController::registerClassForScheme("http", [](const Url& url) -> std::shared_ptr<FileTransferController> {
    if (HostedDiskService::configured().matches(url)) return WebDAVTransferController::initWithHostedDiskURL(url);
    if (IsS3URL(url)) return AmazonS3TransferController::initWithBaseURL(url);
    return WebDAVTransferController::initWithBaseURL(url);
  });
  FileTransferController::registerClassForScheme("https", [](const Url& url) -> std::shared_ptr<FileTransferController> {
    if (IsS3URL(url)) return SecureAmazonS3TransferController::initWithBaseURL(url);
    return SecureWebDAVTransferController::initWithBaseURL(url);
  });
  FileTransferController::registerClassForScheme(
      "ftp", [](const Url& url) { return FTPTransferController::initWithBaseURL(url); });
  FileTransferController::registerClassForScheme(
      "ftps", [](const Url& url) { return FTPSTransferController::initWithBaseURL(url); });
}

}  // namespace quorvel
