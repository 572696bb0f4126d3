// The callbacks a transfer client makes while it works. Every callback is
// optional: the defaults do nothing (and never ask to abort).
//
// Callbacks come on the thread that called the controller's operation.
#pragma once

namespace quorvel {

class Error;
class FileTransferController;

class FileTransferControllerDelegate {
 public:
  virtual ~FileTransferControllerDelegate() = default;

  // An operation has begun talking to the destination.
  virtual void fileTransferControllerDidStart(FileTransferController& controller) {}
  // currentLength() changed while maxLength() is non-zero.
  virtual void fileTransferControllerDidUpdateProgress(FileTransferController& controller) {}
  // Polled by the transfer loops; true stops the transfer, which then fails.
  // Whether a failure callback follows depends on the destination kind.
  virtual bool fileTransferControllerShouldAbort(FileTransferController& controller) { return false; }
  // An operation ended with success.
  virtual void fileTransferControllerDidSucceed(FileTransferController& controller) {}
  // An operation failed; the error says why.
  virtual void fileTransferControllerDidFail(FileTransferController& controller, const Error& error) {}
};

}  // namespace quorvel
