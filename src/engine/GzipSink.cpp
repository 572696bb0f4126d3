#include "engine/GzipSink.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quorvel {

namespace {
constexpr std::size_t kOutputChunk = 1 << 16;
}  // namespace

double ByteEntropy(const std::uint8_t* bytes, std::size_t length) {
  if (length < kSmallestJudgedSample) return 0;
  std::size_t counts[256] = {};
  for (std::size_t i = 0; i < length; ++i) ++counts[bytes[i]];
  double entropy = 0;
  for (std::size_t count : counts) {
    if (count == 0) continue;
    double p = static_cast<double>(count) / static_cast<double>(length);
    entropy -= p * std::log2(p);
  }
  return entropy;
}

GzipSink::GzipSink(ArchiveOutput output) : output_(std::move(output)), out_(kOutputChunk) {
  // 15 + 16: a gzip header and trailer around the deflate stream.
  if (deflateInit2(&stream_, kCompressingLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fail("cannot start the compression");
    return;
  }
  initialized_ = true;
}

GzipSink::~GzipSink() {
  if (initialized_) deflateEnd(&stream_);
}

bool GzipSink::fail(const std::string& what) {
  if (error_.empty()) error_ = what;
  return false;
}

// Hands the first `produced` bytes of the output buffer on.
bool GzipSink::emit(std::size_t produced) {
  if (produced == 0) return true;
  std::string failure = output_(out_.data(), produced);
  return failure.empty() || fail(failure);
}

// Runs deflate over what is pending and writes its output until zlib has
// nothing more for this flush mode.
bool GzipSink::drain(int flush) {
  for (;;) {
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(out_.size());
    int result = deflate(&stream_, flush);
    if (result == Z_STREAM_ERROR) return fail("compression failed");
    if (!emit(out_.size() - stream_.avail_out)) return false;
    if (flush == Z_FINISH ? result == Z_STREAM_END : stream_.avail_out != 0) return true;
  }
}

bool GzipSink::write(const void* bytes, std::size_t length) {
  if (!ok()) return false;
  stream_.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
  while (length > 0) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
    stream_.avail_in = chunk;
    if (!drain(Z_NO_FLUSH)) return false;
    length -= chunk;
  }
  return true;
}

bool GzipSink::setIncompressible(bool incompressible) {
  if (!ok()) return false;
  if (incompressible == incompressible_) return true;
  incompressible_ = incompressible;
  // deflateParams finishes the current block with the old level first; it
  // asks for more room (Z_BUF_ERROR) until that block is out.
  const int level = incompressible ? Z_NO_COMPRESSION : kCompressingLevel;
  for (;;) {
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(out_.size());
    int result = deflateParams(&stream_, level, Z_DEFAULT_STRATEGY);
    if (!emit(out_.size() - stream_.avail_out)) return false;
    if (result == Z_OK) return true;
    if (result != Z_BUF_ERROR) return fail("cannot change the compression level");
  }
}

bool GzipSink::finish() {
  if (!ok()) return false;
  stream_.next_in = nullptr;
  stream_.avail_in = 0;
  return drain(Z_FINISH);
}

}  // namespace quorvel
