// The gzip stream around an archive, handed to an ArchiveOutput, whose
// compression level may change between members: data that looks random
// (already compressed pictures, archives, encrypted files) goes into stored
// deflate blocks at memory speed instead of being searched for repeats that
// are not there. The result is one ordinary gzip member (RFC 1952) that any
// reader inflates; only how hard the writer tries differs.
//
// Not thread-safe; one sink per archive.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvel {

// Where an archive's bytes go: answers an empty text when it took them, else
// what went wrong.
using ArchiveOutput = std::function<std::string(const void* bytes, std::size_t length)>;

// Order-0 entropy of the bytes in bits per byte (0 to 8). Samples shorter
// than kSmallestJudgedSample answer 0: too short to tell.
double ByteEntropy(const std::uint8_t* bytes, std::size_t length);
inline constexpr std::size_t kSmallestJudgedSample = 4096;
// Above this entropy a sample is taken for incompressible. Text and code lie
// below 6, executables below 7; compressed or encrypted data above 7.99.
inline constexpr double kIncompressibleEntropy = 7.95;

class GzipSink {
 public:
  // Level for data that compresses. Measured on the benchmark data set
  // (bench/README.md): level 3 takes about 15 % less CPU time for the whole
  // first backup than level 6, for a destination 1 % larger; level 1 saves
  // little more and compresses text noticeably worse.
  static constexpr int kCompressingLevel = 3;

  explicit GzipSink(ArchiveOutput output);
  ~GzipSink();
  GzipSink(const GzipSink&) = delete;
  GzipSink& operator=(const GzipSink&) = delete;

  bool ok() const { return error_.empty(); }
  // What failed (zlib or the output), once something did.
  const std::string& error() const { return error_; }

  // Compresses (or stores) the bytes; false once anything failed.
  bool write(const void* bytes, std::size_t length);
  // Chooses how the data written next is treated. Takes effect at once (the
  // pending input is finished with the previous setting).
  bool setIncompressible(bool incompressible);
  // Ends the stream (trailer with CRC and length); false when that failed.
  bool finish();

 private:
  bool drain(int flush);
  bool emit(std::size_t produced);
  bool fail(const std::string& what);

  ArchiveOutput output_;
  z_stream stream_{};
  bool initialized_ = false;
  bool incompressible_ = false;
  std::vector<std::uint8_t> out_;
  std::string error_;
};

}  // namespace quorvel
