#include "net/http_body.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vx {
namespace http {
namespace {

std::unique_ptr<uint8_t[]> allocateZeroed(uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
}

void reportProgress(const BodyPlan& plan, uint64_t received) {
  if (plan.progress == nullptr || plan.progressTotal == 0) return;
  plan.progress(static_cast<double>(plan.progressBase + received) * 100.0 /
                static_cast<double>(plan.progressTotal));
}

// Where the bytes of a pass go: memory that grows by doubling, or the sink.
class Collector {
 public:
  explicit Collector(BodySink* sink) : sink_(sink) {}

  bool start() {
    if (sink_ != nullptr) return true;
    buffer_ = allocateZeroed(kInitialBodyCapacity);
    capacity_ = buffer_ ? kInitialBodyCapacity : 0;
    return buffer_ != nullptr;
  }

  BodyEnd take(const uint8_t* bytes, uint32_t count) {
    if (sink_ != nullptr)
      return sink_->write(bytes, count) ? BodyEnd::Complete : BodyEnd::SinkFailed;
    if (received_ + count + 1 > capacity_) {
      uint64_t grown = capacity_;
      while (received_ + count + 1 > grown) grown *= 2;
      std::unique_ptr<uint8_t[]> larger = allocateZeroed(grown);
      if (!larger) return BodyEnd::NoMemory;
      std::memcpy(larger.get(), buffer_.get(), static_cast<size_t>(received_));
      buffer_ = std::move(larger);
      capacity_ = grown;
    }
    std::memcpy(buffer_.get() + received_, bytes, count);
    received_ += count;
    return BodyEnd::Complete;
  }

  // Gives back spare capacity before the caller decodes the body, so that
  // the body and its wide-text copy are all that a large download keeps.
  std::unique_ptr<uint8_t[]> finish() {
    if (buffer_ && capacity_ > kInitialBodyCapacity && capacity_ > received_ + 1) {
      std::unique_ptr<uint8_t[]> exact = allocateZeroed(received_ + 1);
      if (exact) {
        std::memcpy(exact.get(), buffer_.get(), static_cast<size_t>(received_));
        buffer_ = std::move(exact);
      }
    }
    return std::move(buffer_);
  }

 private:
  BodySink* sink_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t capacity_ = 0;
  uint64_t received_ = 0;
};

}  // namespace

BodyResult readBody(BodySource& source, const BodyPlan& plan) {
  BodyResult result;
  Collector collector(plan.sink);
  if (!collector.start()) {
    result.end = BodyEnd::NoMemory;
    result.errorCode = kErrorNotEnoughMemory;
    return result;
  }
  auto stop = [&result](BodyEnd end, uint32_t code) {
    result.end = end;
    result.errorCode = code;
  };
  // One chunk buffer is kept across passes and only grows; in memory a pass
  // reads exactly the announced amount, into a sink at most kSinkChunk.
  std::unique_ptr<uint8_t[]> chunk;
  uint64_t chunkSize = 0;
  uint32_t announced = 0;
  do {
    announced = 0;
    uint32_t code = 0;
    if (!source.available(announced, code)) {
      stop(BodyEnd::Failed, code);
      break;
    }
    reportProgress(plan, result.length);

    const uint32_t wanted = plan.sink != nullptr ? std::min(announced, kSinkChunk) : announced;
    const uint64_t room = static_cast<uint64_t>(wanted) + 1;
    if (room > chunkSize) {
      chunk = allocateZeroed(room);
      chunkSize = chunk ? room : 0;
      if (!chunk) {
        stop(BodyEnd::NoMemory, kErrorNotEnoughMemory);
        break;
      }
    } else {
      std::memset(chunk.get(), 0, static_cast<size_t>(room));
    }
    uint32_t count = 0;
    if (!source.read(chunk.get(), wanted, count, code)) {
      stop(BodyEnd::Failed, code);
      break;
    }
    count = std::min(count, wanted);  // never trust a count past the buffer
    if (count == 0) continue;
    if (count > plan.maxLength || result.length > plan.maxLength - count) {
      stop(BodyEnd::TooLarge, kErrorBodyTooLarge);
      break;
    }
    const BodyEnd taken = collector.take(chunk.get(), count);
    if (taken != BodyEnd::Complete) {
      stop(taken, taken == BodyEnd::NoMemory ? kErrorNotEnoughMemory : kErrorSinkFailed);
      break;
    }
    result.length += count;
  } while (announced > 0);
  chunk.reset();

  if (result.end == BodyEnd::Complete && plan.hasLength && result.length < plan.length) {
    stop(BodyEnd::Short, kErrorShortBody);
  }
  // A failure that came without a code still fails the attempt.
  if (result.end != BodyEnd::Complete && result.errorCode == 0) result.errorCode = kErrorShortBody;
  reportProgress(plan, result.length);
  result.data = collector.finish();
  return result;
}

size_t lengthThroughFirstZero(const uint8_t* data, size_t length) {
  const void* zero = std::memchr(data, 0, length + 1);
  return static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) + 1;
}

}  // namespace http
}  // namespace vx
