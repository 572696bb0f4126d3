#include "FileTransferController/DataStream.h"

namespace quorvel {

namespace {

Error DataStreamError(long code) {
  return Error(kDataStreamErrorDomain, code,
               "The data stream failed (error " + std::to_string(code) + ")");
}

}  // namespace

// ---------------------------------------------------------------------------
// DataReadStream

DataReadStream::DataReadStream(std::shared_ptr<DataStreamSource> source, std::any info)
    : source_(std::move(source)), info_(std::move(info)) {}

std::unique_ptr<DataReadStream> DataReadStream::initWithDataSource(
    std::shared_ptr<DataStreamSource> source, std::any userInfo) {
  if (!source) return nullptr;
  return std::unique_ptr<DataReadStream>(new DataReadStream(std::move(source), std::move(userInfo)));
}

DataReadStream::~DataReadStream() {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::Open || status == StreamStatus::AtEnd) source_->closeDataStream(info_);
}

void DataReadStream::open() {
  if (streamStatus() == StreamStatus::NotOpen && source_->openDataStream(info_)) {
    setStatus(StreamStatus::Open);
    return;
  }
  storeError(DataStreamError(-1));
}

void DataReadStream::close() {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::Open || status == StreamStatus::AtEnd) {
    source_->closeDataStream(info_);
    setStatus(StreamStatus::Closed);
    return;
  }
  storeError(DataStreamError(-1));
}

long DataReadStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::AtEnd) return 0;
  if (status != StreamStatus::Open) return -1;
  long result = source_->readDataFromStream(info_, buffer, maxLength);
  if (result == 0) {
    setStatus(StreamStatus::AtEnd);
  } else if (result < -1) {
    storeError(DataStreamError(result));
  }
  return result;
}

// ---------------------------------------------------------------------------
// DataWriteStream

DataWriteStream::DataWriteStream(std::shared_ptr<DataStreamDestination> destination, std::any info)
    : destination_(std::move(destination)), info_(std::move(info)) {}

std::unique_ptr<DataWriteStream> DataWriteStream::initWithDataDestination(
    std::shared_ptr<DataStreamDestination> destination, std::any userInfo) {
  if (!destination) return nullptr;
  return std::unique_ptr<DataWriteStream>(
      new DataWriteStream(std::move(destination), std::move(userInfo)));
}

DataWriteStream::~DataWriteStream() {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::Open || status == StreamStatus::AtEnd) destination_->closeDataStream(info_);
}

void DataWriteStream::open() {
  if (streamStatus() == StreamStatus::NotOpen && destination_->openDataStream(info_)) {
    setStatus(StreamStatus::Open);
    return;
  }
  storeError(DataStreamError(-1));
}

void DataWriteStream::close() {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::Open || status == StreamStatus::AtEnd) {
    destination_->closeDataStream(info_);
    setStatus(StreamStatus::Closed);
    return;
  }
  storeError(DataStreamError(-1));
}

long DataWriteStream::write(const std::uint8_t* bytes, std::size_t length) {
  StreamStatus status = streamStatus();
  if (status == StreamStatus::AtEnd) return 0;
  if (status != StreamStatus::Open) return -1;
  long result = destination_->writeDataToStream(info_, bytes, length);
  if (result == 0) {
    setStatus(StreamStatus::AtEnd);
  } else if (result < -1) {
    storeError(DataStreamError(result));
  }
  return result;
}

}  // namespace quorvel
