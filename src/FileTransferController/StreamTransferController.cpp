#include "FileTransferController/StreamTransferController.h"

#include "foundation/InternalInconsistency.h"
#include "foundation/RunLoop.h"

namespace quorvel {

namespace {

std::string StatusMessage(const char* text, Stream& stream) {
  return std::string(text) + " (status = " + std::to_string(static_cast<int>(stream.streamStatus())) + ")";
}

// The stream's own error when it has one with a non-zero code, else a
// message of ours naming its status.
Error StreamErrorOr(Stream& stream, const char* message) {
  std::optional<Error> error = stream.streamError();
  if (error && error->code() != 0) return *error;
  return Error::transferError(StatusMessage(message, stream));
}

}  // namespace

std::shared_ptr<StreamTransferController> StreamTransferController::initWithBaseURL(const Url& url) {
  throw InternalInconsistency("StreamTransferController is an abstract class");
}

StreamTransferController::StreamTransferController(ConstructionKey key)
    : FileTransferController(key), streamBuffer_(new std::uint8_t[kStreamTransferBufferSize]) {}

StreamTransferController::~StreamTransferController() { invalidate(); }

std::optional<Value> StreamTransferController::processReadResultStream(OutputStream* stream, std::any& userInfo,
                                                                       std::optional<Error>* error) {
  Error notImplemented =
      Error::transferError("processReadResultStream is not implemented by " + className());
  if (error) *error = notImplemented;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Running

std::optional<Value> StreamTransferController::runReadStream(std::unique_ptr<InputStream> readStream,
                                                             OutputStream* output, std::any userInfo,
                                                             bool isFileTransfer) {
  if (!readStream) return std::nullopt;
  if (output && !openOutputStream(*output, isFileTransfer)) return std::nullopt;

  bool async = useAsyncStreams();
  if (async) {
    readStream->setClient(kStreamEventOpenCompleted | kStreamEventHasBytesAvailable | kStreamEventErrorOccurred |
                              kStreamEventEndEncountered,
                          [this](Stream& stream, StreamEventType type) { readStreamClientCallBack(stream, type); });
    readStream->scheduleInRunLoop(RunLoop::current(), kFileTransferActiveMode);
  }
  readStream->open();
  activeStream_ = std::move(readStream);
  dataStream_ = output;
  dataStreamIsInput_ = false;
  userInfo_ = std::move(userInfo);

  notifyDidStart();
  result_.reset();
  if (async) {
    runEventLoop("Timeout while reading from stream");
  } else {
    runPollingLoop(true);
  }
  return finishRun();
}

std::optional<Value> StreamTransferController::runWriteStream(std::unique_ptr<OutputStream> writeStream,
                                                              InputStream* input, std::any userInfo,
                                                              bool isFileTransfer) {
  if (!writeStream) return std::nullopt;
  if (input && !openInputStream(*input, isFileTransfer)) return std::nullopt;

  bool async = useAsyncStreams();
  if (async) {
    writeStream->setClient(kStreamEventOpenCompleted | kStreamEventCanAcceptBytes | kStreamEventErrorOccurred |
                               kStreamEventEndEncountered,
                           [this](Stream& stream, StreamEventType type) { writeStreamClientCallBack(stream, type); });
    writeStream->scheduleInRunLoop(RunLoop::current(), kFileTransferActiveMode);
  }
  writeStream->open();
  activeStream_ = std::move(writeStream);
  dataStream_ = input;
  dataStreamIsInput_ = true;
  userInfo_ = std::move(userInfo);
  transferOffset_ = 0;
  chunkPending_ = false;

  notifyDidStart();
  result_.reset();
  if (async) {
    runEventLoop("Timeout while writing to stream");
  } else {
    runPollingLoop(false);
  }
  return finishRun();
}

void StreamTransferController::runEventLoop(const char* timeoutMessage) {
  RunLoop& loop = RunLoop::current();
  double timeOutSeconds = timeOut();
  Date lastActivity = Date::now();
  RunLoopResult result;
  do {
    result = loop.runMode(kFileTransferActiveMode, 1.0);
    if (result == RunLoopResult::TimedOut) {
      if (timeOutSeconds > 0 && Date::now().timeIntervalSinceDate(lastActivity) >= timeOutSeconds) {
        notifyDidFail(Error::transferError(timeoutMessage));
        break;
      }
    } else {
      lastActivity = Date::now();
    }
    if (shouldAbort()) break;
  } while (activeStream_ && result != RunLoopResult::Stopped && result != RunLoopResult::Finished);
}

void StreamTransferController::runPollingLoop(bool readDirection) {
  bool openHandled = false;
  auto handle = [&](StreamEventType type) {
    if (readDirection) {
      readStreamClientCallBack(*activeStream_, type);
    } else {
      writeStreamClientCallBack(*activeStream_, type);
    }
  };
  while (activeStream_) {
    StreamStatus status = activeStream_->streamStatus();
    if (status == StreamStatus::AtEnd) {
      handle(kStreamEventEndEncountered);
      break;
    }
    if (status == StreamStatus::Closed) break;
    if (status == StreamStatus::Error) {
      handle(kStreamEventErrorOccurred);
      break;
    }
    if (status == StreamStatus::Open) {
      if (!openHandled) {
        openHandled = true;
        handle(kStreamEventOpenCompleted);
      } else {
        handle(readDirection ? kStreamEventHasBytesAvailable : kStreamEventCanAcceptBytes);
      }
    }
    if (!activeStream_) break;
    if (shouldAbort()) break;
  }
}

std::optional<Value> StreamTransferController::finishRun() {
  std::optional<Value> result = std::move(result_);
  result_.reset();
  invalidate();
  return result;
}

// ---------------------------------------------------------------------------
// Events

void StreamTransferController::reportStreamError(Stream& stream) {
  std::optional<Error> error = stream.streamError();
  notifyDidFail(error ? *error : Error::transferError(StatusMessage("The stream failed", stream)));
}

void StreamTransferController::readStreamClientCallBack(Stream& stream, StreamEventType type) {
  switch (type) {
    case kStreamEventErrorOccurred:
      reportStreamError(stream);
      doneWithResult(std::nullopt);
      return;

    case kStreamEventEndEncountered: {
      auto* output = static_cast<OutputStream*>(dataStream_);
      if (output) {
        bool flushed = flushOutputStream(*output);
        closeOutputStream(*output);
        dataStream_ = nullptr;
        if (!flushed) {
          notifyDidFail(lastTransferFailedDecryption()
                            ? Error::transferError("Failed decrypting the downloaded data (wrong password or damaged file)")
                            : StreamErrorOr(*output, "Failed flushing output stream"));
          doneWithResult(std::nullopt);
          return;
        }
      }
      std::optional<Error> error;
      std::optional<Value> result = processReadResultStream(output, userInfo_, &error);
      if (!result) {
        notifyDidFail(error ? *error : Error::transferError("Failed processing the transfer's result"));
      }
      doneWithResult(std::move(result));
      return;
    }

    case kStreamEventHasBytesAvailable: {
      long count = static_cast<InputStream&>(stream).read(streamBuffer_.get(), kStreamTransferBufferSize);
      transferLength_ = static_cast<int>(count);
      if (count <= 0) return;
      if (auto* output = static_cast<OutputStream*>(dataStream_)) {
        if (!writeToOutputStream(*output, streamBuffer_.get(), static_cast<std::size_t>(count))) {
          notifyDidFail(StreamErrorOr(*output, "Failed writing to output stream"));
          doneWithResult(std::nullopt);
          return;
        }
      }
      setCurrentLength(currentLength() + static_cast<std::uint64_t>(count));
      return;
    }

    default:
      return;
  }
}

void StreamTransferController::writeStreamClientCallBack(Stream& stream, StreamEventType type) {
  switch (type) {
    case kStreamEventErrorOccurred:
      reportStreamError(stream);
      doneWithResult(std::nullopt);
      return;

    case kStreamEventEndEncountered:
      if (auto* input = static_cast<InputStream*>(dataStream_)) {
        closeInputStream(*input);
        dataStream_ = nullptr;
      }
      doneWithResult(Value(true));
      return;

    case kStreamEventCanAcceptBytes: {
      // A chunk is pending until all of it was written; a stream that took
      // nothing (a full pipe) gets the same chunk again.
      if (!chunkPending_) {
        auto* input = static_cast<InputStream*>(dataStream_);
        long count = input ? readFromInputStream(*input, streamBuffer_.get(), kStreamTransferBufferSize) : 0;
        transferLength_ = static_cast<int>(count);
        if (count < 0) {
          notifyDidFail(Error::transferError("Failed reading from data stream"));
          doneWithResult(std::nullopt);
          return;
        }
      }
      if (transferLength_ < 0) return;
      chunkPending_ = transferLength_ > 0;
      // An empty chunk is a zero-length write, which ends the write stream.
      long written = static_cast<OutputStream&>(stream).write(
          streamBuffer_.get() + transferOffset_, static_cast<std::size_t>(transferLength_ - transferOffset_));
      if (written <= 0) return;
      transferOffset_ += static_cast<int>(written);
      if (transferOffset_ >= transferLength_) {
        transferOffset_ = 0;
        chunkPending_ = false;
      }
      setCurrentLength(currentLength() + static_cast<std::uint64_t>(written));
      return;
    }

    default:
      return;
  }
}

// ---------------------------------------------------------------------------
// Ending

void StreamTransferController::doneWithResult(std::optional<Value> result) {
  invalidate();
  if (result) notifyDidSucceed();
  result_ = std::move(result);
  if (useAsyncStreams()) RunLoop::current().stop();
}

void StreamTransferController::invalidate() {
  userInfo_.reset();
  if (dataStream_) {
    if (dataStreamIsInput_) {
      closeInputStream(*static_cast<InputStream*>(dataStream_));
    } else {
      closeOutputStream(*static_cast<OutputStream*>(dataStream_));
    }
    dataStream_ = nullptr;
  }
  if (activeStream_) {
    std::unique_ptr<Stream> stream = std::move(activeStream_);
    if (useAsyncStreams()) {
      stream->unscheduleFromRunLoop(RunLoop::current(), kFileTransferActiveMode);
      stream->setClient(0, nullptr);
    }
    stream->close();
  }
}

}  // namespace quorvel
