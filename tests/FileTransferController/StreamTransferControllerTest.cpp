#include "FileTransferController/StreamTransferController.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "FileTransferController/DataStream.h"
#include "FileTransferController/LocalTransferController.h"
#include "FileTransferController/TransferTestSupport.h"
#include "foundation/DataTransforms.h"
#include "foundation/RunLoop.h"

namespace quorvel {
namespace {

using namespace quorvel::test;

// A destination whose "remote file" is the other end of a pipe: downloads
// read the pipe, uploads write into it. The pipe ends are driven by run-loop
// events, so this exercises the event-driven transfer loop with a peer that
// can stay silent for as long as a test wants.
class PipeTransferController : public StreamTransferController {
 public:
  static std::shared_ptr<PipeTransferController> create() {
    return makeController<PipeTransferController>(*Url::URLWithString("qvpipe://localhost/"));
  }
  explicit PipeTransferController(ConstructionKey key) : StreamTransferController(key) {}
  std::string urlScheme() const override { return "qvpipe"; }
  std::string className() const override { return "PipeTransferController"; }

  std::optional<Value> processReadResultStream(OutputStream*, std::any& userInfo, std::optional<Error>*) override {
    return Value(true);
  }

  // The descriptor the next transfer reads from or writes to; the transfer closes it.
  int descriptor = -1;
  // When set, the next download reads this file instead.
  std::string missingPath;

 protected:
  bool downloadFileFromPathImpl(const std::string&, OutputStream& stream) override {
    std::unique_ptr<InputStream> source;
    if (!missingPath.empty()) source = std::make_unique<FileInputStream>(missingPath);
    else source = FileInputStream::withFileDescriptor(descriptor, true);
    return runReadStream(std::move(source), &stream, std::any(), true).has_value();
  }
  bool uploadFileToPathImpl(const std::string&, InputStream& stream) override {
    return runWriteStream(FileOutputStream::withFileDescriptor(descriptor, true), &stream, std::any(), true)
        .has_value();
  }
};

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Pipe() {
    if (readEnd >= 0) close(readEnd);
    if (writeEnd >= 0) close(writeEnd);
  }
  // Hands an end over to a transfer, which closes it.
  int takeRead() { return std::exchange(readEnd, -1); }
  int takeWrite() { return std::exchange(writeEnd, -1); }
  int readEnd = -1, writeEnd = -1;
};

void WriteAll(int fd, const Data& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

Data ReadAll(int fd) {
  Data data;
  std::uint8_t buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) data.insert(data.end(), buffer, buffer + n);
  return data;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class EventDriven : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = PipeTransferController::create();
    ASSERT_TRUE(controller);
    controller->setDelegate(&delegate);
  }
  std::shared_ptr<PipeTransferController> controller;
  RecordingDelegate delegate;
};

// ------------------------------------------------------------------ event-driven transfers

// A peer that lists no size and sends more than the caller bounds the file
// to: reading stops at the bound and the download fails with EFBIG.
TEST_F(EventDriven, ADownloadToDataStopsAtItsBound) {
  signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  std::thread peer([&] {
    WriteAll(pipe.writeEnd, PseudoRandomData(4 << 20, 5));
    close(std::exchange(pipe.writeEnd, -1));
  });
  std::optional<Data> received = controller->downloadFileFromPathToData("x", 100000);
  peer.join();
  EXPECT_FALSE(received);
  ASSERT_TRUE(controller->lastFailure());
  EXPECT_EQ(controller->lastFailure()->code(), EFBIG) << delegate.lastErrorText();
  EXPECT_EQ(delegate.failures, 1);
}

TEST_F(EventDriven, DownloadsWhatThePeerWritesWithDigestAndCipher) {
  Data plain = PseudoRandomData(1000000, 21);
  std::optional<Data> stored = DataTransforms::encryptAES256WithPassword(plain, "pw");
  ASSERT_TRUE(stored);
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  controller->setEncryptionPassword(std::string("pw"));
  controller->setDigestComputation(true);
  std::thread peer([&] {
    WriteAll(pipe.writeEnd, *stored);
    close(std::exchange(pipe.writeEnd, -1));
  });
  std::optional<Data> received = controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30);
  peer.join();
  ASSERT_TRUE(received) << delegate.lastErrorText();
  EXPECT_TRUE(*received == plain);
  EXPECT_EQ(Hex(controller->lastTransferDigestData()), Hex(DataTransforms::md5Digest(plain)));
  EXPECT_EQ(controller->lastTransferSize(), stored->size());
  EXPECT_EQ(delegate.starts, 1);
  EXPECT_EQ(delegate.successes, 1);
  EXPECT_EQ(delegate.failures, 0);
  EXPECT_EQ(controller->activeStream(), nullptr);
}

TEST_F(EventDriven, UploadsIntoASlowPeerWithoutLosingBytes) {
  Data plain = PseudoRandomData(2000000, 22);
  Pipe pipe;
  controller->descriptor = pipe.takeWrite();
  Data received;
  std::thread peer([&] {
    // Reads in small bites so that the pipe is full most of the time.
    std::uint8_t buffer[8192];
    ssize_t n;
    while ((n = read(pipe.readEnd, buffer, sizeof buffer)) > 0) {
      received.insert(received.end(), buffer, buffer + n);
      if (received.size() % (256 * 1024) < 8192) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_TRUE(controller->uploadFileFromData(plain, "x")) << delegate.lastErrorText();
  peer.join();
  EXPECT_TRUE(received == plain);
  EXPECT_EQ(delegate.successes, 1);
}

TEST_F(EventDriven, EmptyUploadWritesNothingAndSucceeds) {
  Pipe pipe;
  controller->descriptor = pipe.takeWrite();
  EXPECT_TRUE(controller->uploadFileFromData(Data(), "x"));
  EXPECT_TRUE(ReadAll(pipe.readEnd).empty());
  EXPECT_EQ(delegate.successes, 1);
  EXPECT_EQ(delegate.failures, 0);
}

TEST_F(EventDriven, SilentStreamWithoutTimeOutWaitsUntilTheDelegateAborts) {
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  controller->setTimeOut(0);
  delegate.shouldAbort = [&](FileTransferController&) { return delegate.abortQuestions >= 4; };
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30));
  double elapsed = SecondsSince(start);
  // One question a second while nothing happens: about three seconds of waiting.
  EXPECT_GE(elapsed, 2.5);
  EXPECT_EQ(delegate.abortQuestions, 4);
  EXPECT_EQ(delegate.failures, 0);
  EXPECT_EQ(delegate.successes, 0);
  EXPECT_EQ(controller->activeStream(), nullptr);
}

TEST_F(EventDriven, SilentReadStreamTimesOut) {
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  controller->setTimeOut(2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30));
  EXPECT_GE(SecondsSince(start), 2.0);
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.lastErrorText(), "Timeout while reading from stream");
  EXPECT_EQ(delegate.errors.back().domain(), "FileTransferController");
  EXPECT_EQ(delegate.errors.back().code(), -1);
  EXPECT_EQ(delegate.successes, 0);
}

TEST_F(EventDriven, FullWriteStreamTimesOut) {
  Pipe pipe;
  fcntl(pipe.writeEnd, F_SETFL, O_NONBLOCK);
  Data filler(65536, 0);
  while (write(pipe.writeEnd, filler.data(), filler.size()) > 0) {
  }
  controller->descriptor = pipe.takeWrite();
  controller->setTimeOut(2);
  EXPECT_FALSE(controller->uploadFileFromData(PseudoRandomData(100000), "x"));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.lastErrorText(), "Timeout while writing to stream");
}

TEST_F(EventDriven, LateFirstEventWithinTheTimeOutIsNoFailure) {
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  controller->setTimeOut(6);
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    WriteAll(pipe.writeEnd, DataFromString("late"));
    close(std::exchange(pipe.writeEnd, -1));
  });
  std::optional<Data> received = controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30);
  peer.join();
  ASSERT_TRUE(received) << delegate.lastErrorText();
  EXPECT_EQ(*received, DataFromString("late"));
}

TEST_F(EventDriven, AbortDuringAnUploadReturnsNothingAndReportsNothing) {
  Pipe pipe;
  controller->descriptor = pipe.takeWrite();
  std::thread peer([&] { ReadAll(pipe.readEnd); });
  delegate.shouldAbort = [&](FileTransferController& c) { return c.currentLength() > 0; };
  EXPECT_FALSE(controller->uploadFileFromData(PseudoRandomData(3000000), "x"));
  peer.join();  // the transfer closed its end
  EXPECT_EQ(delegate.starts, 1);
  EXPECT_EQ(delegate.successes, 0);
  EXPECT_EQ(delegate.failures, 0);
  EXPECT_EQ(controller->activeStream(), nullptr);
}

TEST_F(EventDriven, AStreamThatFailsToOpenReportsItsOwnError) {
  TempDir dir;
  controller->missingPath = dir / "missing";
  EXPECT_FALSE(controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.errors.back().domain(), kPOSIXErrorDomain);
  EXPECT_EQ(delegate.errors.back().code(), ENOENT);
}

TEST_F(EventDriven, OtherSourcesOfTheThreadDoNotFireDuringATransfer) {
  Pipe pipe;
  controller->descriptor = pipe.takeRead();
  int fired = 0;
  auto timer = Timer::scheduled(0.01, true, [&](Timer&) { ++fired; });
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteAll(pipe.writeEnd, DataFromString("abc"));
    close(std::exchange(pipe.writeEnd, -1));
  });
  EXPECT_TRUE(controller->downloadFileFromPathToData("x", std::uint64_t{1} << 30));
  peer.join();
  EXPECT_EQ(fired, 0);
  timer->invalidate();
}

// ------------------------------------------------------------------ failures around the data stream

// A source that hands out a fixed number of bytes and then a scripted result.
class ScriptedSource : public DataStreamSource {
 public:
  ScriptedSource(std::size_t bytes, long finalResult) : remaining(bytes), finalResult(finalResult) {}
  bool openDataStream(std::any&) override {
    ++opens;
    return openResult;
  }
  long readDataFromStream(std::any&, std::uint8_t* buffer, std::size_t maxLength) override {
    if (remaining == 0) return finalResult;
    std::size_t n = std::min(maxLength, remaining);
    std::memset(buffer, 'x', n);
    remaining -= n;
    return static_cast<long>(n);
  }
  void closeDataStream(std::any&) override { ++closes; }
  std::size_t remaining;
  long finalResult;
  bool openResult = true;
  int opens = 0, closes = 0;
};

TEST(StreamFailures, InputReadFailureIsReportedAsSuch) {
  TempDir dest;
  auto controller = LocalController(dest.path());
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  auto source = std::make_shared<ScriptedSource>(300000, -5);
  auto stream = DataReadStream::initWithDataSource(source, std::any());
  EXPECT_FALSE(controller->uploadFileToPath("f", *stream));
  ASSERT_EQ(delegate.failures, 1);
  EXPECT_EQ(delegate.lastErrorText(), "Failed reading from data stream");
  EXPECT_EQ(source->closes, 1);  // the data stream was closed
  ASSERT_TRUE(stream->streamError());
  EXPECT_EQ(stream->streamError()->code(), -5);
}

TEST(StreamFailures, AnOutputStreamThatWillNotOpenEndsTheRunWithoutCallbacks) {
  TempDir dest;
  auto controller = LocalController(dest.path());
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  ASSERT_TRUE(controller->uploadFileFromData(DataFromString("abc"), "f"));
  delegate = RecordingDelegate();
  FileOutputStream output(dest / "no-such-folder/out", false);
  EXPECT_FALSE(controller->downloadFileFromPath("f", static_cast<OutputStream&>(output)));
  EXPECT_EQ(delegate.starts, 0);
  EXPECT_EQ(delegate.failures, 0);
  auto source = std::make_shared<ScriptedSource>(10, 0);
  source->openResult = false;
  auto input = DataReadStream::initWithDataSource(source, std::any());
  EXPECT_FALSE(controller->uploadFileToPath("g", *input));
  EXPECT_EQ(delegate.starts, 0);
  EXPECT_EQ(delegate.failures, 0);
}

TEST(StreamFailures, AbortDuringAPolledUploadReturnsNothingAndReportsNothing) {
  TempDir dest;
  auto controller = LocalController(dest.path());
  RecordingDelegate delegate;
  delegate.shouldAbort = [](FileTransferController& c) { return c.currentLength() > 0; };
  controller->setDelegate(&delegate);
  Data data = PseudoRandomData(2000000);
  EXPECT_FALSE(controller->uploadFileFromData(data, "f"));
  EXPECT_EQ(delegate.starts, 1);
  EXPECT_EQ(delegate.successes, 0);
  EXPECT_EQ(delegate.failures, 0);
  EXPECT_LT(FileSize(dest / "f"), data.size());
}

TEST(StreamFailures, EmptyPolledUploadCreatesAnEmptyFile) {
  TempDir dest;
  auto controller = LocalController(dest.path());
  RecordingDelegate delegate;
  controller->setDelegate(&delegate);
  MemoryInputStream empty{Data()};
  EXPECT_TRUE(controller->uploadFileToPath("empty", empty, 0));
  EXPECT_EQ(FileSize(dest / "empty"), 0u);
  EXPECT_EQ(delegate.successes, 1);
  EXPECT_EQ(empty.streamStatus(), StreamStatus::Closed);
}

// ------------------------------------------------------------------ data streams

TEST(DataReadStream, StatusFollowsOpenReadEndAndClose) {
  auto source = std::make_shared<ScriptedSource>(5, 0);
  auto stream = DataReadStream::initWithDataSource(source, std::any());
  ASSERT_TRUE(stream);
  std::uint8_t buffer[4];
  EXPECT_EQ(stream->streamStatus(), StreamStatus::NotOpen);
  EXPECT_EQ(stream->read(buffer, 4), -1);  // not open yet
  EXPECT_FALSE(stream->hasBytesAvailable());
  stream->open();
  EXPECT_EQ(stream->streamStatus(), StreamStatus::Open);
  EXPECT_TRUE(stream->hasBytesAvailable());
  EXPECT_EQ(stream->read(buffer, 4), 4);
  EXPECT_EQ(stream->read(buffer, 4), 1);
  EXPECT_EQ(stream->read(buffer, 4), 0);
  EXPECT_EQ(stream->streamStatus(), StreamStatus::AtEnd);
  EXPECT_FALSE(stream->hasBytesAvailable());
  EXPECT_EQ(stream->read(buffer, 4), 0);  // after the end
  std::uint8_t* direct = nullptr;
  std::size_t length = 0;
  EXPECT_FALSE(stream->getBuffer(&direct, &length));
  stream->close();
  EXPECT_EQ(stream->streamStatus(), StreamStatus::Closed);
  EXPECT_EQ(source->closes, 1);
  EXPECT_FALSE(stream->streamError());
  stream->close();  // closing twice stores an error
  ASSERT_TRUE(stream->streamError());
  EXPECT_EQ(stream->streamError()->domain(), "DataStreamErrorDomain");
  EXPECT_EQ(stream->streamError()->code(), -1);
}

TEST(DataReadStream, MinusOneFailsSilentlyAndLowerResultsStoreTheirCode) {
  auto plain = std::make_shared<ScriptedSource>(0, -1);
  auto stream = DataReadStream::initWithDataSource(plain, std::any());
  stream->open();
  std::uint8_t buffer[4];
  EXPECT_EQ(stream->read(buffer, 4), -1);
  EXPECT_FALSE(stream->streamError());
  EXPECT_EQ(stream->streamStatus(), StreamStatus::Open);

  auto coded = std::make_shared<ScriptedSource>(0, -5);
  auto other = DataReadStream::initWithDataSource(coded, std::any());
  other->open();
  EXPECT_EQ(other->read(buffer, 4), -5);
  ASSERT_TRUE(other->streamError());
  EXPECT_EQ(other->streamError()->domain(), "DataStreamErrorDomain");
  EXPECT_EQ(other->streamError()->code(), -5);
  coded->finalResult = -9;
  EXPECT_EQ(other->read(buffer, 4), -9);
  EXPECT_EQ(other->streamError()->code(), -5);  // the first error stays
}

TEST(DataReadStream, FailedOpenStaysNotOpenAndDestructionClosesAnOpenSource) {
  auto refusing = std::make_shared<ScriptedSource>(1, 0);
  refusing->openResult = false;
  {
    auto stream = DataReadStream::initWithDataSource(refusing, std::any());
    stream->open();
    EXPECT_EQ(stream->streamStatus(), StreamStatus::NotOpen);
    ASSERT_TRUE(stream->streamError());
    EXPECT_EQ(stream->streamError()->code(), -1);
    stream->open();  // only from status 0, and still refused
    EXPECT_EQ(refusing->opens, 2);
  }
  EXPECT_EQ(refusing->closes, 0);
  auto source = std::make_shared<ScriptedSource>(1, 0);
  {
    auto stream = DataReadStream::initWithDataSource(source, std::any());
    stream->open();
  }
  EXPECT_EQ(source->closes, 1);
  EXPECT_FALSE(DataReadStream::initWithDataSource(nullptr, std::any()));
}

TEST(DataReadStream, PlatformOperationsAreAcceptedAndIgnored) {
  auto stream = DataReadStream::initWithDataSource(std::make_shared<ScriptedSource>(1, 0), std::any());
  EXPECT_FALSE(stream->setClient(kStreamEventHasBytesAvailable, [](Stream&, StreamEventType) {}));
  EXPECT_FALSE(stream->setPropertyForKey(Value(1), "anything"));
  EXPECT_TRUE(stream->propertyForKey("anything").isNull());
  stream->scheduleInRunLoop(RunLoop::current(), kFileTransferActiveMode);
  stream->unscheduleFromRunLoop(RunLoop::current(), kFileTransferActiveMode);
}

class CollectingDestination : public DataStreamDestination {
 public:
  bool openDataStream(std::any&) override { return true; }
  long writeDataToStream(std::any&, const std::uint8_t* bytes, std::size_t length) override {
    if (result != 1) return result;
    data.insert(data.end(), bytes, bytes + length);
    return static_cast<long>(length);
  }
  void closeDataStream(std::any&) override { ++closes; }
  Data data;
  long result = 1;
  int closes = 0;
};

TEST(DataWriteStream, StatusAndErrorsMirrorTheReadStream) {
  auto destination = std::make_shared<CollectingDestination>();
  auto stream = DataWriteStream::initWithDataDestination(destination, std::any());
  const std::uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(stream->write(bytes, 3), -1);
  stream->open();
  EXPECT_TRUE(stream->hasSpaceAvailable());
  EXPECT_EQ(stream->write(bytes, 3), 3);
  destination->result = -7;
  EXPECT_EQ(stream->write(bytes, 3), -7);
  EXPECT_EQ(stream->streamError()->code(), -7);
  destination->result = 0;
  EXPECT_EQ(stream->write(bytes, 3), 0);
  EXPECT_EQ(stream->streamStatus(), StreamStatus::AtEnd);
  EXPECT_FALSE(stream->hasSpaceAvailable());
  stream->close();
  EXPECT_EQ(destination->closes, 1);
  EXPECT_EQ(destination->data, (Data{1, 2, 3}));
}

// ------------------------------------------------------------------ plain streams

TEST(MemoryStreams, ZeroLengthWriteEndsAWriteStream) {
  MemoryOutputStream output;
  output.open();
  const std::uint8_t byte = 7;
  EXPECT_EQ(output.write(&byte, 1), 1);
  EXPECT_EQ(output.write(&byte, 0), 0);
  EXPECT_EQ(output.streamStatus(), StreamStatus::AtEnd);
  EXPECT_EQ(output.propertyForKey(kStreamPropertyDataWritten).asData(), Data{7});
}

TEST(MemoryStreams, FixedBufferTakesNothingOnceFull) {
  std::uint8_t buffer[4];
  BufferOutputStream output(buffer, sizeof buffer);
  output.open();
  const std::uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(output.write(bytes, 6), 4);
  EXPECT_EQ(output.write(bytes + 4, 2), 0);
  EXPECT_EQ(output.bytesWritten(), 4u);
}

}  // namespace
}  // namespace quorvel
