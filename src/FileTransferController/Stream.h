// Byte streams in the platform's style: an open/close life cycle with a
// numbered status, a stored error, optional event delivery through a run loop,
// and concrete streams over files, file descriptors and memory.
//
// Transfer clients drive two kinds of streams: the caller's stream (where a
// download goes, where an upload comes from) and the protocol's own stream
// (a file being written or read, a connection). Both are these classes.
//
// A stream is used by one thread at a time. Event delivery happens on the run
// loop the stream was scheduled in, in the mode it was scheduled for.
#pragma once

#include <sys/types.h>

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "FileTransferController/Error.h"
#include "foundation/Data.h"
#include "foundation/Value.h"

namespace quorvel {

class RunLoop;

// The platform's stream status numbering.
enum class StreamStatus : int {
  NotOpen = 0,
  Opening = 1,
  Open = 2,
  Reading = 3,
  Writing = 4,
  AtEnd = 5,
  Closed = 6,
  Error = 7,
};

// Events a scheduled stream reports to its client (bit values as on the platform).
enum StreamEventType : unsigned {
  kStreamEventNone = 0,
  kStreamEventOpenCompleted = 1,
  kStreamEventHasBytesAvailable = 2,
  kStreamEventCanAcceptBytes = 4,
  kStreamEventErrorOccurred = 8,
  kStreamEventEndEncountered = 16,
};

// Property key under which a MemoryOutputStream answers the bytes written.
inline constexpr const char* kStreamPropertyDataWritten = "kCFStreamPropertyDataWritten";

class Stream {
 public:
  using ClientCallBack = std::function<void(Stream& stream, StreamEventType event)>;

  virtual ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Opening is only possible from NotOpen; afterwards streamStatus() tells
  // whether it worked (Open, or Error with streamError() saying why).
  virtual void open() = 0;
  // Releases the underlying resource; the status becomes Closed.
  virtual void close() = 0;

  virtual StreamStatus streamStatus() const { return status_; }
  // True once the stream has been open (whatever its status now).
  bool hasBeenOpened() const { return hasBeenOpened_; }
  // The reason of the last failure; nothing while none happened.
  virtual std::optional<Error> streamError() const { return error_; }

  // Event delivery. setClient() installs a handler for the given events
  // (nothing for an empty handler) and answers whether the stream can deliver
  // events at all. Events arrive only while the stream is scheduled in a run
  // loop; the handler runs inside RunLoop::runMode() of that loop.
  virtual bool setClient(unsigned events, ClientCallBack callBack);
  virtual void scheduleInRunLoop(RunLoop& runLoop, const std::string& mode);
  virtual void unscheduleFromRunLoop(RunLoop& runLoop, const std::string& mode);

  // Stream properties; a property the stream does not know is nothing, and
  // setting one answers false.
  virtual Value propertyForKey(std::string_view key) const;
  virtual bool setPropertyForKey(const Value& value, std::string_view key);

 protected:
  Stream();

  void setStatus(StreamStatus status) {
    status_ = status;
    if (status == StreamStatus::Open) hasBeenOpened_ = true;
  }
  // Stores the error (the first one wins) and sets the status to Error.
  void failWithError(Error error);
  // Stores the error when none is stored yet, without touching the status.
  void storeError(Error error);

  // The events that are pending right now, used to deliver events while
  // scheduled. The default covers streams that never block (files, memory):
  // open -> bytes available / can accept bytes, at end -> end, error -> error.
  virtual unsigned pendingEvents() const;
  // A descriptor to watch for readiness instead of delivering at once, or -1.
  // Pipes and sockets answer theirs so that a silent peer produces no events.
  virtual int pollableDescriptor() const { return -1; }
  virtual bool isInputStream() const = 0;
  // True while scheduled in a run loop.
  bool isScheduled() const { return scheduling_ != nullptr; }
  // Called by subclasses whenever something happened that may produce an
  // event (opened, read, written, failed), so that delivery is re-armed.
  void streamStateChanged();

 private:
  struct Scheduling;
  unsigned nextEvent() const;
  void armDelivery();
  void deliverPendingEvent();

  StreamStatus status_ = StreamStatus::NotOpen;
  bool hasBeenOpened_ = false;
  std::optional<Error> error_;
  unsigned clientEvents_ = 0;
  ClientCallBack client_;
  std::unique_ptr<Scheduling> scheduling_;
  bool openEventDelivered_ = false;
  bool terminalEventDelivered_ = false;
  // Expires with the stream, so that event delivery notices when a handler
  // released the stream it was called for.
  std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
};

class InputStream : public Stream {
 public:
  // Reads up to maxLength bytes: the count read, 0 at the end (the status
  // becomes AtEnd), -1 on failure (status Error, streamError() says why).
  virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual bool hasBytesAvailable() const { return streamStatus() == StreamStatus::Open; }
  // Direct access to the stream's internal buffer; none of ours offer it.
  virtual bool getBuffer(std::uint8_t** buffer, std::size_t* length) { return false; }

 protected:
  bool isInputStream() const override { return true; }
};

class OutputStream : public Stream {
 public:
  // Writes up to length bytes: the count written (possibly fewer), or -1 on
  // failure. A write of zero bytes marks the end of the data: the status
  // becomes AtEnd and a scheduled stream reports the end event. Writing to a
  // stream that has no room left stores nothing and returns 0.
  virtual long write(const std::uint8_t* bytes, std::size_t length) = 0;
  virtual bool hasSpaceAvailable() const { return streamStatus() == StreamStatus::Open; }

 protected:
  bool isInputStream() const override { return false; }
};

// Reads a file (or any readable descriptor such as a pipe end).
class FileInputStream : public InputStream {
 public:
  explicit FileInputStream(std::string path);
  // Reads an already open descriptor; with closeWhenDone the stream closes it.
  static std::unique_ptr<FileInputStream> withFileDescriptor(int fd, bool closeWhenDone);
  // Reads a file stored on a destination, which is untrusted: opening fails
  // (ELOOP) on a symbolic link instead of following it, fails (EINVAL) on
  // anything but a regular file without waiting for a FIFO's writer, and
  // reading ends after the size the file had when it was opened, however
  // much is appended later.
  static std::unique_ptr<FileInputStream> forStoredFile(std::string path);
  ~FileInputStream() override;

  void open() override;
  void close() override;
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  const std::string& path() const { return path_; }

 protected:
  int pollableDescriptor() const override;

 private:
  std::string path_;
  int fd_ = -1;
  bool ownsDescriptor_ = true;
  bool pollable_ = false;
  bool storedFile_ = false;
  // What a stored file may still deliver.
  std::uint64_t remaining_ = 0;
};

// Writes a file, created when missing; truncated unless appending. Also
// writes to an already open descriptor such as a pipe end. A pipe or socket
// that is written while the stream is scheduled in a run loop is switched to
// non-blocking mode, so that a full pipe answers "nothing written" (0) and the
// loop waits for it to drain instead of blocking the thread.
class FileOutputStream : public OutputStream {
 public:
  FileOutputStream(std::string path, bool append);
  static std::unique_ptr<FileOutputStream> withFileDescriptor(int fd, bool closeWhenDone);
  // Writes a file onto a destination, which is untrusted: a regular file of
  // the name is replaced (removed, then created anew), while a symbolic link,
  // a folder or any other item there fails the opening (ELOOP for a link,
  // EISDIR, EINVAL) and is left alone; the file is created without following
  // links and only when the name is free. The zero-length write that ends
  // the data syncs the file and then its folder to disk, and fails when
  // either sync fails.
  static std::unique_ptr<FileOutputStream> forStoredFile(std::string path);
  ~FileOutputStream() override;

  void open() override;
  void close() override;
  long write(const std::uint8_t* bytes, std::size_t length) override;
  void scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) override;
  const std::string& path() const { return path_; }

 protected:
  int pollableDescriptor() const override;

 private:
  void makeNonBlockingWhenScheduled();

  bool openStoredFile();
  bool syncStoredFile();

  std::string path_;
  bool append_ = false;
  int fd_ = -1;
  bool ownsDescriptor_ = true;
  bool pollable_ = false;
  bool storedFile_ = false;
};

// Reads bytes from memory: either its own copy of a buffer, or a caller's
// byte range that must stay valid until the stream is closed.
class MemoryInputStream : public InputStream {
 public:
  explicit MemoryInputStream(Data data);
  static std::unique_ptr<MemoryInputStream> withBytesNoCopy(const void* bytes, std::size_t length);
  void open() override;
  void close() override;
  long read(std::uint8_t* buffer, std::size_t maxLength) override;

 private:
  MemoryInputStream() = default;
  Data storage_;
  const std::uint8_t* bytes_ = nullptr;
  std::size_t length_ = 0;
  std::size_t offset_ = 0;
};

// Collects everything written in memory; the bytes are data() and the
// kStreamPropertyDataWritten property. A write that would take the total past
// the capacity stores nothing and fails the stream (EFBIG).
class MemoryOutputStream : public OutputStream {
 public:
  explicit MemoryOutputStream(std::size_t capacity = SIZE_MAX) : capacity_(capacity) {}
  void open() override;
  void close() override;
  long write(const std::uint8_t* bytes, std::size_t length) override;
  Value propertyForKey(std::string_view key) const override;
  const Data& data() const { return data_; }
  Data takeData() { return std::move(data_); }

 private:
  std::size_t capacity_;
  Data data_;
};

// Writes into a caller's fixed buffer of the given capacity. When the buffer
// is full, writing stores nothing and returns 0.
class BufferOutputStream : public OutputStream {
 public:
  BufferOutputStream(void* buffer, std::size_t capacity);
  void open() override;
  void close() override;
  long write(const std::uint8_t* bytes, std::size_t length) override;
  std::size_t bytesWritten() const { return used_; }

 private:
  std::uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
};

}  // namespace quorvel
