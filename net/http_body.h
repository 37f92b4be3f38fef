// The body loop of the HTTP client, independent of the network stack.
//
// The loop asks the source how much can be read now, reports progress, reads
// that much and hands it on: into a buffer that starts at 10240 bytes and
// doubles as needed, or to a sink that streams it to disk. It ends when the
// source announces 0 bytes, and then tells whether the body is complete: a
// body that ends before its Content-Length, or on a failed query or read
// (a reset connection), is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/http_sink.h"

namespace vx {
namespace http {

using ProgressFunction = bool (*)(double percent);

constexpr uint32_t kInitialBodyCapacity = 10240;
// Largest body kept in memory: the length is a 32-bit count and one zero
// byte always follows the body.
constexpr uint64_t kMaxBodyLength = 0xFFFFFFFEu;
// Most bytes read in one pass when streaming to a sink, so that the chunk
// buffer stays small whatever the stack announces.
constexpr uint32_t kSinkChunk = 65536;

// Error codes the client sets itself (Win32 values).
constexpr uint32_t kErrorNotEnoughMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorSinkFailed = 29;       // ERROR_WRITE_FAULT: the sink refused the body
constexpr uint32_t kErrorShortBody = 38;        // ERROR_HANDLE_EOF: fewer bytes than Content-Length
constexpr uint32_t kErrorBodyTooLarge = 223;    // ERROR_FILE_TOO_LARGE: over the limit
constexpr uint32_t kErrorRangeRefused = 12152;  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE

class BodySource {
 public:
  virtual ~BodySource() = default;
  // Bytes that can be read now, 0 at the end of the body. false on failure,
  // with the error code in `error`.
  virtual bool available(uint32_t& count, uint32_t& error) = 0;
  // Reads at most `size` bytes into `buffer`. false on failure, with the
  // error code in `error`.
  virtual bool read(uint8_t* buffer, uint32_t size, uint32_t& count, uint32_t& error) = 0;
};

// How one response's body is read.
struct BodyPlan {
  // Called with (progressBase + received) * 100 / progressTotal: 0 first (or
  // the held share), once per pass, and once more at the end. Never called
  // when progressTotal is 0 or progress is null.
  ProgressFunction progress = nullptr;
  uint64_t progressBase = 0;
  uint64_t progressTotal = 0;
  // The response's own Content-Length, when it has one.
  bool hasLength = false;
  uint64_t length = 0;
  // The most bytes this body may bring.
  uint64_t maxLength = kMaxBodyLength;
  // Set: every byte goes to the sink as it arrives and nothing is kept.
  BodySink* sink = nullptr;
};

enum class BodyEnd {
  Complete,    // the source announced the end, and Content-Length (if any) was reached
  Short,       // it ended before Content-Length
  Failed,      // a query or a read failed (errorCode is the source's code)
  TooLarge,    // it would have gone past maxLength
  SinkFailed,  // the sink refused bytes
  NoMemory,    // a buffer could not be allocated
};

struct BodyResult {
  // Without a sink: the received bytes followed by a zero byte, trimmed to
  // that size. Null with a sink, or when not even the first 10240 bytes
  // could be allocated.
  std::unique_ptr<uint8_t[]> data;
  uint64_t length = 0;  // bytes received by this loop
  BodyEnd end = BodyEnd::Complete;
  uint32_t errorCode = 0;  // 0 when Complete; else a system code or one of the codes above
};

// Runs the loop. What was received before an end other than Complete stays
// (in `data`, or already with the sink).
BodyResult readBody(BodySource& source, const BodyPlan& plan);

// Number of bytes up to and including the first zero byte of `data`, which
// must hold a zero byte within `length + 1` bytes (the body's terminator).
size_t lengthThroughFirstZero(const uint8_t* data, size_t length);

}  // namespace http
}  // namespace vx
