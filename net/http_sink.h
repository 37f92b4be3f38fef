// Where a streamed response body goes, and the rules that decide whether a
// response continues what is already held, starts the item over, or is
// refused. Portable: no Windows API.
//
// A download that streams to a sink can be resumed. Before each attempt the
// client asks the sink how many bytes of the item it already holds and the
// validator (ETag, else Last-Modified) of the response they came from. When
// both are known it asks for the rest with "Range: bytes=N-" and
// "If-Range: <validator>"; a 206 that continues exactly there is appended, a
// 200 starts the item over, anything else fails the attempt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx {
namespace http {

class BodySink {
 public:
  virtual ~BodySink() = default;

  // Bytes of the item already held (0 when nothing is).
  virtual uint64_t held() const = 0;
  // The validator of the response the held bytes came from; empty when it is
  // unknown or the item must not be resumed, and then the whole item is asked
  // for.
  virtual std::wstring validator() const = 0;

  // A whole body begins: whatever is held is dropped and `validator` (empty
  // when the response named none) is remembered for a later resume. false:
  // the sink cannot take the body (a disk error); the request fails at once.
  virtual bool restart(const std::wstring& validator) = 0;
  // The body continues the held bytes (a 206 from held() on). false: as for
  // restart().
  virtual bool resume() = 0;
  // Takes the next `size` bytes of the body. false: as for restart().
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // The held bytes cannot be continued (the server refused their range):
  // drop them, so that the next attempt asks for the whole item.
  virtual void discard() = 0;
};

// What one response says about its body, read from its status line and raw
// header block.
struct BodyFacts {
  uint32_t status = 0;
  bool hasLength = false;  // a Content-Length that is a plain decimal number
  uint64_t length = 0;
  std::wstring contentRange;  // the Content-Range value, empty when absent
  std::wstring etag;          // empty when absent
  std::wstring lastModified;  // empty when absent
};

// Reads the facts from a status text ("200") and a raw header block (lines
// ended by CR LF). Header names are matched without regard to case; the
// first occurrence counts. A status that is not three digits reads as 0.
BodyFacts readBodyFacts(const std::wstring& statusCode, const std::wstring& rawHeaders);

// The validator to resume with: the ETag, else Last-Modified, else empty. A
// weak ETag (W/"...") is no validator for a range.
std::wstring validatorOf(const BodyFacts& facts);

// Whether a kept validator may go back to the server in If-Range: plain
// printable ASCII (nothing that could break the request's header block) and
// not a weak ETag.
bool usableValidator(const std::wstring& validator);

// The byte range of a "bytes first-last/total" Content-Range ("*" for an
// unknown total). false for anything else.
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  bool totalKnown = false;
  uint64_t total = 0;
};
bool parseContentRange(const std::wstring& text, ContentRange& range);

enum class BodyStart {
  Whole,          // the body is the whole item from its first byte
  Continue,       // the body continues the held bytes
  Refuse,         // the attempt fails; what is held stays for a later one
  RefuseAndDrop,  // the attempt fails and what is held cannot be continued
  TooLarge,       // the item would exceed the limit: the request fails at once
};

// Decides what a response's body is. `rangeFrom` is the offset that was
// asked for with Range (0 when no Range was sent); `limit` is the most the
// whole item may hold (0: no limit).
//  - No Range sent: the body is the whole item whatever the status (the
//    caller decides what a status means), unless its Content-Length exceeds
//    the limit.
//  - Range sent: 206 whose Content-Range runs from rangeFrom to the item's
//    last byte (limit - 1 when a limit is known, and the stated total agrees
//    with it) and whose Content-Length, if any, is that part's length:
//    Continue. 206 otherwise, and 416: RefuseAndDrop. 200: Whole (then as
//    above). Any other status: Refuse.
BodyStart classifyBodyStart(const BodyFacts& facts, uint64_t rangeFrom, uint64_t limit);

}  // namespace http
}  // namespace vx
