// LocalTransferController: a destination folder in the local file system
// ("file" URLs, written with the host "localhost"). Every operation works on
// the local path of absoluteURLForRemotePath(); file payloads are copied by
// polling a file stream (no run loop involved).
//
// A URL that yields no absolute URL (a "file" URL without host, a share that
// cannot be mounted) makes every operation fail with "\"<path>\" is not
// reachable".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "FileTransferController/StreamTransferController.h"

namespace quorvel {

class LocalTransferController : public StreamTransferController {
 public:
  static constexpr const char* kURLScheme = "file";

  static std::shared_ptr<LocalTransferController> initWithBaseURL(const Url& url);
  static std::shared_ptr<LocalTransferController> initWithHost(const std::string& host, std::uint16_t port,
                                                               const std::string& user, const std::string& password,
                                                               const std::string& basePath);

  explicit LocalTransferController(ConstructionKey key) : StreamTransferController(key) {}

  std::string urlScheme() const override { return kURLScheme; }
  bool useAsyncStreams() const override { return false; }
  std::string className() const override { return "LocalTransferController"; }

  bool supportsOperation(TransferOperation operation) const override;
  std::optional<Dictionary> contentsOfDirectoryAtPath(const std::string& path) override;
  bool createDirectoryAtPath(const std::string& path) override;
  // Removes an existing destination first; copies folders recursively.
  bool movePath(const std::string& fromPath, const std::string& toPath) override;
  bool copyPath(const std::string& fromPath, const std::string& toPath) override;
  // A missing item counts as deleted; folders go with their contents.
  bool deleteFileAtPath(const std::string& path) override;
  bool deleteDirectoryRecursivelyAtPath(const std::string& path) override;
  // Syncs the destination folder (stored files are synced as their uploads
  // complete, their folders after each creation or rename).
  bool syncDestination() override;

  // Always a true result.
  std::optional<Value> processReadResultStream(OutputStream* stream, std::any& userInfo,
                                               std::optional<Error>* error) override;

 protected:
  bool uploadFileToPathImpl(const std::string& path, InputStream& stream) override;
  bool downloadFileFromPathImpl(const std::string& path, OutputStream& stream) override;

  // The local path for a remote path; reports the start and the
  // not-reachable failure when there is none.
  std::optional<std::string> localPathOrFail(const std::string& path);
  // Why the destination cannot be reached, for that failure; nothing when
  // there is nothing to add to "is not reachable".
  virtual std::optional<Error> unreachableError() const { return std::nullopt; }
  // Move and copy: reports the start, resolves both paths and removes what
  // holds the target; the local source and target paths, or nothing after
  // reporting the failure.
  std::optional<std::pair<std::string, std::string>> clearedTarget(const std::string& fromPath,
                                                                   const std::string& toPath);

  // Flushes one open item (a file or a folder) to disk; the fsync of every
  // sync this class makes outside the file streams, so that a subclass can
  // watch them.
  virtual int syncDescriptor(int fd);
  // Syncs the folder holding the local path; 0 or an errno.
  int syncParentFolder(const std::string& localPath);

 private:
  bool deletePath(const std::string& path);
};

}  // namespace quorvel
