// StreamTransferController: the base of the controllers that move a file's
// bytes through a stream of their own (a local file, an HTTP connection). It
// runs one read stream or write stream to completion on the calling thread,
// pumps the bytes between it and the caller's stream through the payload
// operations (digest, cipher, speed limits), polls the delegate for aborts,
// enforces the inactivity time-out, and turns the finished stream into the
// operation's result.
//
// Two ways of driving, chosen by useAsyncStreams():
//   - events: the stream is scheduled on the calling thread's run loop in
//     kFileTransferActiveMode (so nothing else of the thread fires meanwhile),
//     and the loop is run for at most one second at a time, which is when
//     aborts and the time-out are looked at;
//   - polling: the stream's status is read in a loop and the matching event
//     handled, with the abort question asked after each pass (no time-out).
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>

#include "FileTransferController/FileTransferController.h"

namespace quorvel {

// The private run-loop mode of every event-driven transfer.
inline constexpr char kFileTransferActiveMode[] = "FileTransferActiveMode";

// Size of the chunk buffer, shared by both directions.
inline constexpr std::size_t kStreamTransferBufferSize = 262144;

class StreamTransferController : public FileTransferController {
 public:
  // This class is abstract: always throws InternalInconsistency("StreamTransferController is an abstract class").
  static std::shared_ptr<StreamTransferController> initWithBaseURL(const Url& url);

  // Invalidates a transfer still held.
  ~StreamTransferController() override;

  std::string className() const override { return "StreamTransferController"; }

  // Drives a read stream (ownership passes to the call), writing what it
  // yields to the output stream when one is given. Answers the result of
  // processReadResultStream(), or nothing on failure, abort or time-out.
  // The output stream must stay alive during the call; it is opened through
  // openOutputStream() and closed before returning.
  std::optional<Value> runReadStream(std::unique_ptr<InputStream> readStream, OutputStream* dataStream,
                                     std::any userInfo, bool isFileTransfer);
  // Feeds the input stream's bytes (none when no stream is given) into the
  // write stream (ownership passes). Answers true, or nothing.
  std::optional<Value> runWriteStream(std::unique_ptr<OutputStream> writeStream, InputStream* dataStream,
                                      std::any userInfo, bool isFileTransfer);

  // The result of a finished read stream; nothing with *error set on
  // failure. The base version reports "not implemented".
  virtual std::optional<Value> processReadResultStream(OutputStream* stream, std::any& userInfo,
                                                       std::optional<Error>* error);

  // Event handlers; subclasses may extend them.
  virtual void readStreamClientCallBack(Stream& stream, StreamEventType type);
  virtual void writeStreamClientCallBack(Stream& stream, StreamEventType type);

  // Ends the running transfer: invalidates it, reports success when there is
  // a result, keeps the result, and stops the thread's run loop.
  void doneWithResult(std::optional<Value> result);
  // Releases everything the running transfer holds; safe when nothing runs.
  void invalidate();

  // The stream being driven; null while idle.
  Stream* activeStream() const { return activeStream_.get(); }

 protected:
  explicit StreamTransferController(ConstructionKey key);

  int transferLength() const { return transferLength_; }
  std::uint8_t* streamBuffer() const { return streamBuffer_.get(); }
  // The caller's stream of the running transfer (null when none).
  Stream* dataStream() const { return dataStream_; }
  std::any& userInfo() { return userInfo_; }

 private:
  void reportStreamError(Stream& stream);
  std::optional<Value> finishRun();
  void runEventLoop(const char* timeoutMessage);
  void runPollingLoop(bool readDirection);

  int transferLength_ = 0;
  int transferOffset_ = 0;
  bool chunkPending_ = false;
  std::unique_ptr<std::uint8_t[]> streamBuffer_;
  std::unique_ptr<Stream> activeStream_;
  Stream* dataStream_ = nullptr;
  bool dataStreamIsInput_ = false;
  std::any userInfo_;
  std::optional<Value> result_;
};

}  // namespace quorvel
