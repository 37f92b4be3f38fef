#include "net/http_body.h"

#include <cstring>
#include <new>

namespace vx {
namespace http {
namespace {

std::unique_ptr<uint8_t[]> allocateZeroed(uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
}

void reportProgress(ProgressFunction progress, int32_t contentLength, uint64_t received) {
  if (progress == nullptr || contentLength == 0) return;
  // Both sides as unsigned 32-bit numbers; received never exceeds that range.
  progress(static_cast<double>(static_cast<uint32_t>(received)) * 100.0 /
           static_cast<double>(static_cast<uint32_t>(contentLength)));
}

}  // namespace

BodyResult readBody(BodySource& source, ProgressFunction progress, int32_t contentLength,
                    uint64_t maxLength) {
  BodyResult result;
  uint64_t capacity = kInitialBodyCapacity;
  std::unique_ptr<uint8_t[]> buffer = allocateZeroed(capacity);
  if (!buffer) {
    result.error = true;
    result.errorCode = kErrorNotEnoughMemory;
    return result;
  }
  uint64_t received = 0;
  // One chunk buffer is kept across passes and only grows; a pass still reads
  // exactly the announced amount into it.
  std::unique_ptr<uint8_t[]> chunk;
  uint64_t chunkSize = 0;
  auto fail = [&result](uint32_t code) {
    result.error = true;
    result.errorCode = code;
  };

  uint32_t announced = 0;
  do {
    announced = 0;
    uint32_t code = 0;
    if (!source.available(announced, code)) {
      fail(code);
      break;
    }
    reportProgress(progress, contentLength, received);

    const uint64_t wanted = static_cast<uint64_t>(announced) + 1;
    if (wanted > chunkSize) {
      chunk = allocateZeroed(wanted);
      chunkSize = chunk ? wanted : 0;
      if (!chunk) {
        fail(kErrorNotEnoughMemory);
        break;
      }
    } else {
      std::memset(chunk.get(), 0, static_cast<size_t>(wanted));
    }
    uint32_t count = 0;
    if (!source.read(chunk.get(), announced, count)) continue;  // this pass's bytes are dropped
    if (count > announced) count = announced;  // never trust a count past the buffer
    if (count == 0) continue;

    if (received + count > maxLength) {
      fail(kErrorArithmeticOverflow);
      break;
    }
    if (received + count + 1 > capacity) {
      uint64_t grown = capacity;
      while (received + count + 1 > grown) grown *= 2;
      std::unique_ptr<uint8_t[]> larger = allocateZeroed(grown);
      if (!larger) {
        fail(kErrorNotEnoughMemory);
        break;
      }
      std::memcpy(larger.get(), buffer.get(), static_cast<size_t>(received));
      buffer = std::move(larger);
      capacity = grown;
    }
    std::memcpy(buffer.get() + received, chunk.get(), count);
    received += count;
  } while (announced > 0);
  chunk.reset();

  reportProgress(progress, contentLength, received);

  // Give back spare capacity before the caller decodes the body, so that the
  // body and its wide-text copy are all that a large download keeps.
  if (capacity > kInitialBodyCapacity && capacity > received + 1) {
    std::unique_ptr<uint8_t[]> exact = allocateZeroed(received + 1);
    if (exact) {
      std::memcpy(exact.get(), buffer.get(), static_cast<size_t>(received));
      buffer = std::move(exact);
    }
  }
  result.data = std::move(buffer);
  result.length = static_cast<uint32_t>(received);
  return result;
}

size_t lengthThroughFirstZero(const uint8_t* data, size_t length) {
  const void* zero = std::memchr(data, 0, length + 1);
  return static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) + 1;
}

}  // namespace http
}  // namespace vx
