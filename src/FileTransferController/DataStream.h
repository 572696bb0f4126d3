// DataReadStream and DataWriteStream: synchronous streams whose bytes come
// from a DataStreamSource or go to a DataStreamDestination, so that bytes in
// memory or behind an open descriptor can stand wherever a stream is expected
// (an upload body, the output of a download).
//
// Status goes NotOpen (0) -> Open (2) -> AtEnd (5) -> Closed (6); a failed
// open stays at NotOpen with an error stored. The streams deliver no events:
// the consumer reads or writes them directly. Delegates, properties and
// run-loop scheduling are accepted and ignored.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FileTransferController/Stream.h"

namespace quorvel {

// Every call receives the stream's user information, which the source may
// change (a cursor, for example).
class DataStreamSource {
 public:
  virtual ~DataStreamSource() = default;
  virtual bool openDataStream(std::any& info) = 0;
  // Bytes delivered; 0 = end of data; -1 = failure without detail; below -1 =
  // failure whose value is the error code.
  virtual long readDataFromStream(std::any& info, std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual void closeDataStream(std::any& info) = 0;
};

class DataStreamDestination {
 public:
  virtual ~DataStreamDestination() = default;
  virtual bool openDataStream(std::any& info) = 0;
  // Bytes taken, with the same meaning of results as readDataFromStream().
  virtual long writeDataToStream(std::any& info, const std::uint8_t* bytes, std::size_t length) = 0;
  virtual void closeDataStream(std::any& info) = 0;
};

class DataReadStream : public InputStream {
 public:
  // Nothing when the source is missing. The stream shares ownership of the
  // source (pass a non-owning pointer when the source outlives the stream).
  static std::unique_ptr<DataReadStream> initWithDataSource(std::shared_ptr<DataStreamSource> source,
                                                            std::any userInfo);
  // Closes the source when the stream is still open or at its end.
  ~DataReadStream() override;

  void open() override;
  void close() override;
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  bool hasBytesAvailable() const override { return streamStatus() == StreamStatus::Open; }
  bool getBuffer(std::uint8_t** buffer, std::size_t* length) override { return false; }

  bool setClient(unsigned events, ClientCallBack callBack) override { return false; }
  void scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) override {}
  void unscheduleFromRunLoop(RunLoop& runLoop, const std::string& mode) override {}

  DataStreamSource* dataSource() const { return source_.get(); }
  std::any& userInfo() { return info_; }

 private:
  DataReadStream(std::shared_ptr<DataStreamSource> source, std::any info);
  std::shared_ptr<DataStreamSource> source_;
  std::any info_;
};

class DataWriteStream : public OutputStream {
 public:
  static std::unique_ptr<DataWriteStream> initWithDataDestination(
      std::shared_ptr<DataStreamDestination> destination, std::any userInfo);
  ~DataWriteStream() override;

  void open() override;
  void close() override;
  // Unlike the other output streams, a zero-length write is handed to the
  // destination like any other; a destination result of 0 ends the stream.
  long write(const std::uint8_t* bytes, std::size_t length) override;
  bool hasSpaceAvailable() const override { return streamStatus() == StreamStatus::Open; }

  bool setClient(unsigned events, ClientCallBack callBack) override { return false; }
  void scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) override {}
  void unscheduleFromRunLoop(RunLoop& runLoop, const std::string& mode) override {}

  DataStreamDestination* dataDestination() const { return destination_.get(); }
  std::any& userInfo() { return info_; }

 private:
  DataWriteStream(std::shared_ptr<DataStreamDestination> destination, std::any info);
  std::shared_ptr<DataStreamDestination> destination_;
  std::any info_;
};

}  // namespace quorvel
