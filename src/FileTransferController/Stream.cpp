#include "FileTransferController/Stream.h"

#include "foundation/RunLoop.h"
#include "foundation/Posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvel {

// ---------------------------------------------------------------------------
// Stream

// Where a scheduled stream delivers its events: a loop and a mode, a
// one-shot timer for events that are due at once, and a descriptor source
// for streams that wait on a pipe or socket.
struct Stream::Scheduling {
  std::weak_ptr<RunLoop> runLoop;
  std::string mode;
  std::shared_ptr<Timer> timer;
  std::shared_ptr<FileDescriptorSource> source;

  void cancelTimer() {
    if (timer) timer->invalidate();
    timer.reset();
  }
  void cancelSource() {
    if (source) source->invalidate();
    source.reset();
  }
  ~Scheduling() {
    cancelTimer();
    cancelSource();
  }
};

Stream::Stream() = default;
Stream::~Stream() = default;

void Stream::scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) {
  scheduling_ = std::make_unique<Scheduling>();
  scheduling_->runLoop = runLoop.shared_from_this();
  scheduling_->mode = mode;
  armDelivery();
}

void Stream::unscheduleFromRunLoop(RunLoop& runLoop, const std::string& mode) {
  if (scheduling_ && scheduling_->mode == mode) scheduling_.reset();
}

void Stream::streamStateChanged() {
  if (scheduling_ && client_) armDelivery();
}

unsigned Stream::nextEvent() const {
  StreamStatus status = status_;
  if (status == StreamStatus::Open || status == StreamStatus::AtEnd || status == StreamStatus::Error) {
    if (!openEventDelivered_ && status != StreamStatus::Error) return kStreamEventOpenCompleted;
  }
  if (terminalEventDelivered_) return kStreamEventNone;
  return pendingEvents();
}

void Stream::armDelivery() {
  Scheduling* scheduling = scheduling_.get();
  if (!scheduling || !client_) return;
  std::shared_ptr<RunLoop> loop = scheduling->runLoop.lock();
  if (!loop) return;
  unsigned event = nextEvent();
  int fd = pollableDescriptor();
  bool waitForDescriptor = fd >= 0 && status_ == StreamStatus::Open && openEventDelivered_ &&
                           (event == kStreamEventHasBytesAvailable || event == kStreamEventCanAcceptBytes);
  if (waitForDescriptor) {
    scheduling->cancelTimer();
    unsigned interest = isInputStream() ? FileDescriptorSource::Readable : FileDescriptorSource::Writable;
    if (scheduling->source && scheduling->source->fileDescriptor() != fd) scheduling->cancelSource();
    if (!scheduling->source) {
      scheduling->source = FileDescriptorSource::create(
          fd, interest, [this](FileDescriptorSource&, unsigned) { deliverPendingEvent(); });
      loop->addSource(scheduling->source, scheduling->mode);
    }
    return;
  }
  scheduling->cancelSource();
  // The open event is consumed even when the client did not ask for it;
  // other events wait until the client wants them.
  if (event == kStreamEventNone || (event != kStreamEventOpenCompleted && !(event & clientEvents_))) {
    scheduling->cancelTimer();
    return;
  }
  if (scheduling->timer && scheduling->timer->isValid()) {
    scheduling->timer->setFireDate(Date::now());
    return;
  }
  scheduling->timer = Timer::create(Date::now(), 0, false, [this](Timer&) { deliverPendingEvent(); });
  loop->addTimer(scheduling->timer, scheduling->mode);
}

void Stream::deliverPendingEvent() {
  unsigned event = nextEvent();
  if (event == kStreamEventOpenCompleted) {
    openEventDelivered_ = true;
  } else if (event == kStreamEventEndEncountered || event == kStreamEventErrorOccurred) {
    terminalEventDelivered_ = true;
  }
  if (event != kStreamEventNone && (event & clientEvents_) && client_) {
    // The handler may destroy other state, but not the stream itself.
    ClientCallBack client = client_;
    std::weak_ptr<int> alive = lifeToken_;
    client(*this, static_cast<StreamEventType>(event));
    if (alive.expired()) return;  // the handler released the stream
  }
  armDelivery();
}

bool Stream::setClient(unsigned events, ClientCallBack callBack) {
  clientEvents_ = callBack ? events : 0;
  client_ = std::move(callBack);
  if (client_) streamStateChanged();
  return true;
}

Value Stream::propertyForKey(std::string_view key) const { return Value(); }

bool Stream::setPropertyForKey(const Value& value, std::string_view key) { return false; }

void Stream::failWithError(Error error) {
  if (!error_) error_ = std::move(error);
  status_ = StreamStatus::Error;
  streamStateChanged();
}

void Stream::storeError(Error error) {
  if (!error_) error_ = std::move(error);
}

unsigned Stream::pendingEvents() const {
  switch (status_) {
    case StreamStatus::Open:
      return isInputStream() ? kStreamEventHasBytesAvailable : kStreamEventCanAcceptBytes;
    case StreamStatus::AtEnd:
      return kStreamEventEndEncountered;
    case StreamStatus::Error:
      return kStreamEventErrorOccurred;
    default:
      return kStreamEventNone;
  }
}

// ---------------------------------------------------------------------------
// File streams

namespace {

bool IsPollable(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

// The errno for an item that is not a regular file where one is needed.
int NotARegularFileErrno(mode_t mode) {
  if (S_ISLNK(mode)) return ELOOP;
  if (S_ISDIR(mode)) return EISDIR;
  return EINVAL;
}

std::string NotARegularFileText(mode_t mode) {
  if (S_ISLNK(mode)) return "is a symbolic link";
  if (S_ISDIR(mode)) return "is a folder";
  return "is not a regular file";
}

}  // namespace

FileInputStream::FileInputStream(std::string path) : path_(std::move(path)) {}

std::unique_ptr<FileInputStream> FileInputStream::withFileDescriptor(int fd, bool closeWhenDone) {
  auto stream = std::make_unique<FileInputStream>(std::string());
  stream->fd_ = fd;
  stream->ownsDescriptor_ = closeWhenDone;
  return stream;
}

std::unique_ptr<FileInputStream> FileInputStream::forStoredFile(std::string path) {
  auto stream = std::make_unique<FileInputStream>(std::move(path));
  stream->storedFile_ = true;
  return stream;
}

FileInputStream::~FileInputStream() {
  if (fd_ >= 0 && ownsDescriptor_) ::close(fd_);
}

void FileInputStream::open() {
  if (streamStatus() != StreamStatus::NotOpen) return;
  if (fd_ < 0) {
    // A stored file never makes the opening wait (a FIFO without writer).
    int flags = O_RDONLY | O_CLOEXEC | (storedFile_ ? O_NOFOLLOW | O_NONBLOCK : 0);
    fd_ = ::open(path_.c_str(), flags);
    if (fd_ < 0) {
      int errorNumber = errno;
      std::string what = "Could not open \"" + path_ + "\" for reading";
      Error error = Error::posixError(errorNumber, what, path_);
      // A link planted in the destination stays until someone removes it.
      if (storedFile_ && errorNumber == ELOOP) error.markPermanent();
      failWithError(std::move(error));
      return;
    }
    if (storedFile_) {
      struct stat st;
      int errorNumber = 0;
      std::string what;
      bool planted = false;
      if (fstat(fd_, &st) != 0) {
        errorNumber = errno;
        what = "Could not read the attributes of \"" + path_ + "\"";
      } else if (!S_ISREG(st.st_mode)) {
        errorNumber = NotARegularFileErrno(st.st_mode);
        what = "Could not read \"" + path_ + "\": it " + NotARegularFileText(st.st_mode);
        // A FIFO or device stays until someone removes it; a folder fails
        // as it always did (as a failure worth retrying).
        planted = !S_ISDIR(st.st_mode);
      } else {
        int fileFlags = fcntl(fd_, F_GETFL);
        if (fileFlags < 0 || fcntl(fd_, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
          errorNumber = errno;
          what = "Could not prepare \"" + path_ + "\" for reading";
        }
      }
      if (errorNumber != 0) {
        ::close(fd_);
        fd_ = -1;
        Error error = Error::posixError(errorNumber, what, path_);
        if (planted) error.markPermanent();
        failWithError(std::move(error));
        return;
      }
      remaining_ = static_cast<std::uint64_t>(st.st_size);
    }
  }
  pollable_ = IsPollable(fd_);
  setStatus(StreamStatus::Open);
  streamStateChanged();
}

void FileInputStream::close() {
  // Stop watching the descriptor before it is closed.
  setStatus(StreamStatus::Closed);
  streamStateChanged();
  if (fd_ >= 0 && ownsDescriptor_) ::close(fd_);
  fd_ = -1;
}

long FileInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::AtEnd) return 0;
  if (status != StreamStatus::Open) return -1;
  std::size_t wanted = maxLength;
  if (storedFile_) {
    // Whatever was appended after the opening is not read.
    if (remaining_ < wanted) wanted = static_cast<std::size_t>(remaining_);
    if (wanted == 0 && maxLength > 0) {
      setStatus(StreamStatus::AtEnd);
      streamStateChanged();
      return 0;
    }
  }
  ssize_t n;
  do {
    n = ::read(fd_, buffer, wanted);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    failWithError(Error::posixError(errno, "Could not read \"" + path_ + "\"", path_));
    return -1;
  }
  if (storedFile_) remaining_ -= static_cast<std::uint64_t>(n);
  if (n == 0 && maxLength > 0) setStatus(StreamStatus::AtEnd);
  streamStateChanged();
  return static_cast<long>(n);
}

int FileInputStream::pollableDescriptor() const { return pollable_ ? fd_ : -1; }

FileOutputStream::FileOutputStream(std::string path, bool append)
    : path_(std::move(path)), append_(append) {}

std::unique_ptr<FileOutputStream> FileOutputStream::withFileDescriptor(int fd, bool closeWhenDone) {
  auto stream = std::make_unique<FileOutputStream>(std::string(), false);
  stream->fd_ = fd;
  stream->ownsDescriptor_ = closeWhenDone;
  return stream;
}

std::unique_ptr<FileOutputStream> FileOutputStream::forStoredFile(std::string path) {
  auto stream = std::make_unique<FileOutputStream>(std::move(path), false);
  stream->storedFile_ = true;
  return stream;
}

FileOutputStream::~FileOutputStream() {
  if (fd_ >= 0 && ownsDescriptor_) ::close(fd_);
}

void FileOutputStream::open() {
  if (streamStatus() != StreamStatus::NotOpen) return;
  if (fd_ < 0 && storedFile_) {
    if (!openStoredFile()) return;
  } else if (fd_ < 0) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
    fd_ = ::open(path_.c_str(), flags, 0666);
    if (fd_ < 0) {
      failWithError(Error::posixError(errno, "Could not open \"" + path_ + "\" for writing", path_));
      return;
    }
  }
  pollable_ = IsPollable(fd_);
  makeNonBlockingWhenScheduled();
  setStatus(StreamStatus::Open);
  streamStateChanged();
}

bool FileOutputStream::openStoredFile() {
  // Only a regular file of the name is replaced; it is removed rather than
  // truncated, so that a link planted in its place between this check and
  // the creation makes the creation fail instead of writing through it.
  struct stat st;
  if (lstat(path_.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      // Left alone. A link, FIFO or device is in the way until someone
      // removes it; a folder fails as it always did (worth retrying).
      Error error = Error::posixError(NotARegularFileErrno(st.st_mode),
                                      "Could not write \"" + path_ + "\": it " + NotARegularFileText(st.st_mode),
                                      path_);
      if (!S_ISDIR(st.st_mode)) error.markPermanent();
      failWithError(std::move(error));
      return false;
    }
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
      failWithError(Error::posixError(errno, "Could not replace \"" + path_ + "\"", path_));
      return false;
    }
  } else if (errno != ENOENT) {
    failWithError(Error::posixError(errno, "Could not read the attributes of \"" + path_ + "\"", path_));
    return false;
  }
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    failWithError(Error::posixError(errno, "Could not open \"" + path_ + "\" for writing", path_));
    return false;
  }
  return true;
}

bool FileOutputStream::syncStoredFile() {
  if (int error = SyncDescriptor(fd_)) {
    failWithError(Error::posixError(error, "Could not sync \"" + path_ + "\" to disk", path_));
    return false;
  }
  std::string folder = ParentFolderOf(path_);
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int errorNumber = folderFd < 0 ? errno : SyncDescriptor(folderFd);
  if (errorNumber != 0) {
    if (folderFd >= 0) ::close(folderFd);
    failWithError(Error::posixError(errorNumber, "Could not sync the folder \"" + folder + "\" to disk", folder));
    return false;
  }
  ::close(folderFd);
  return true;
}

void FileOutputStream::scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) {
  OutputStream::scheduleInRunLoop(runLoop, mode);
  makeNonBlockingWhenScheduled();
}

void FileOutputStream::makeNonBlockingWhenScheduled() {
  if (fd_ < 0 || !pollable_ || !isScheduled()) return;
  int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

void FileOutputStream::close() {
  // Stop watching the descriptor before it is closed.
  setStatus(StreamStatus::Closed);
  streamStateChanged();
  if (fd_ >= 0 && ownsDescriptor_) ::close(fd_);
  fd_ = -1;
}

long FileOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  StreamStatus status = streamStatus();
  if (status != StreamStatus::Open) return status == StreamStatus::AtEnd ? 0 : -1;
  if (length == 0) {
    // A stored file is complete only once it is on disk.
    if (storedFile_ && !syncStoredFile()) return -1;
    setStatus(StreamStatus::AtEnd);
    streamStateChanged();
    return 0;
  }
  ssize_t n;
  do {
    n = ::write(fd_, bytes, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    streamStateChanged();
    return 0;  // full for now; a scheduled stream reports when it can accept bytes again
  }
  if (n < 0) {
    failWithError(Error::posixError(errno, "Could not write \"" + path_ + "\"", path_));
    return -1;
  }
  streamStateChanged();
  return static_cast<long>(n);
}

int FileOutputStream::pollableDescriptor() const {
  // Only a descriptor that can block on writing is watched; the end event of
  // a finished write stream is delivered at once.
  return pollable_ && streamStatus() == StreamStatus::Open ? fd_ : -1;
}


// ---------------------------------------------------------------------------
// Memory streams

MemoryInputStream::MemoryInputStream(Data data) : storage_(std::move(data)) {
  bytes_ = storage_.data();
  length_ = storage_.size();
}

std::unique_ptr<MemoryInputStream> MemoryInputStream::withBytesNoCopy(const void* bytes,
                                                                      std::size_t length) {
  std::unique_ptr<MemoryInputStream> stream(new MemoryInputStream());
  stream->bytes_ = static_cast<const std::uint8_t*>(bytes);
  stream->length_ = length;
  return stream;
}

void MemoryInputStream::open() {
  if (streamStatus() != StreamStatus::NotOpen) return;
  setStatus(StreamStatus::Open);
  streamStateChanged();
}

void MemoryInputStream::close() {
  setStatus(StreamStatus::Closed);
  streamStateChanged();
}

long MemoryInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::AtEnd) return 0;
  if (status != StreamStatus::Open) return -1;
  std::size_t n = std::min(maxLength, length_ - offset_);
  if (n > 0) std::memcpy(buffer, bytes_ + offset_, n);
  offset_ += n;
  if (n == 0 && maxLength > 0) setStatus(StreamStatus::AtEnd);
  streamStateChanged();
  return static_cast<long>(n);
}

void MemoryOutputStream::open() {
  if (streamStatus() != StreamStatus::NotOpen) return;
  setStatus(StreamStatus::Open);
  streamStateChanged();
}

void MemoryOutputStream::close() {
  setStatus(StreamStatus::Closed);
  streamStateChanged();
}

long MemoryOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  StreamStatus status = streamStatus();
  if (status != StreamStatus::Open) return status == StreamStatus::AtEnd ? 0 : -1;
  if (length == 0) {
    setStatus(StreamStatus::AtEnd);
  } else if (length > capacity_ - data_.size()) {
    failWithError(Error::posixError(EFBIG, "More than the " + std::to_string(capacity_) + " bytes expected"));
    streamStateChanged();
    return -1;
  } else {
    data_.insert(data_.end(), bytes, bytes + length);
  }
  streamStateChanged();
  return static_cast<long>(length);
}

Value MemoryOutputStream::propertyForKey(std::string_view key) const {
  if (key == kStreamPropertyDataWritten) return Value(data_);
  return Value();
}

BufferOutputStream::BufferOutputStream(void* buffer, std::size_t capacity)
    : buffer_(static_cast<std::uint8_t*>(buffer)), capacity_(capacity) {}

void BufferOutputStream::open() {
  if (streamStatus() != StreamStatus::NotOpen) return;
  setStatus(StreamStatus::Open);
  streamStateChanged();
}

void BufferOutputStream::close() {
  setStatus(StreamStatus::Closed);
  streamStateChanged();
}

long BufferOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  StreamStatus status = streamStatus();
  if (status != StreamStatus::Open) return status == StreamStatus::AtEnd ? 0 : -1;
  std::size_t n = std::min(length, capacity_ - used_);
  if (n > 0) std::memcpy(buffer_ + used_, bytes, n);
  used_ += n;
  if (length == 0 || used_ == capacity_) setStatus(StreamStatus::AtEnd);
  streamStateChanged();
  return static_cast<long>(n);
}

}  // namespace quorvel
