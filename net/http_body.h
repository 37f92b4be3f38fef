// The body loop of the HTTP client, independent of the network stack.
//
// The loop asks the source how much can be read now, reports progress, reads
// that much into a chunk and appends it to a buffer that starts at 10240 bytes
// and doubles as needed. It ends when the source announces 0 bytes or the
// availability query fails; what was received stands either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vx {
namespace http {

using ProgressFunction = bool (*)(double percent);

constexpr uint32_t kInitialBodyCapacity = 10240;
// Largest body the client keeps: the length is a 32-bit count and one zero
// byte always follows the body.
constexpr uint64_t kMaxBodyLength = 0xFFFFFFFEu;

// Error codes the loop sets itself (Win32 values).
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorArithmeticOverflow = 534;

class BodySource {
 public:
  virtual ~BodySource() = default;
  // Bytes that can be read now, 0 at the end of the body. false on failure,
  // with the error code in `error`.
  virtual bool available(uint32_t& count, uint32_t& error) = 0;
  // Reads at most `size` bytes into `buffer`. false when the read failed.
  virtual bool read(uint8_t* buffer, uint32_t size, uint32_t& count) = 0;
};

struct BodyResult {
  std::unique_ptr<uint8_t[]> data;  // body bytes, then at least one zero byte
  uint32_t length = 0;
  bool error = false;  // an error code was set during the loop
  uint32_t errorCode = 0;
};

// Runs the loop. The progress function (may be null) is called only when
// contentLength is not 0, with received * 100 / contentLength (both as
// unsigned 32-bit numbers): 0 first, once per pass, and once more at the end.
//
// A read failure drops that pass's bytes. An availability failure, a chunk or
// buffer that cannot be allocated, or a body that would exceed `maxLength`
// ends the loop with an error code and keeps what was received. The returned
// buffer is trimmed to the body and its zero byte, so a finished download holds
// no spare capacity. `data` is null only when not even the first 10240 bytes
// could be allocated.
BodyResult readBody(BodySource& source, ProgressFunction progress, int32_t contentLength,
                    uint64_t maxLength = kMaxBodyLength);

// Number of bytes up to and including the first zero byte of `data`, which
// must hold a zero byte within `length + 1` bytes (the body's terminator).
size_t lengthThroughFirstZero(const uint8_t* data, size_t length);

}  // namespace http
}  // namespace vx
