// The record kept beside a partial download: which item the held bytes
// belong to, and the validator of the response they came from. Portable: the
// text format alone, read and written here; the files live in
// update/partial_download.h.
//
// The text is five lines, each ended by LF, in this order:
//
//   velmorandix-partial 1
//   url=https://host/bootstrap/java64.zip
//   size=151234567
//   sha256=<64 lowercase hex digits, or nothing when the item is not pinned>
//   validator=<the ETag or Last-Modified value, or nothing>
//
// Anything else (another first line, a missing, repeated or reordered key, a
// size that is not a plain decimal number below 2^31, a pin that is not 64
// lowercase hex digits, a control character in a value, a text over
// kMaxPartialRecordLength bytes, a last line without its LF) is malformed,
// and a malformed record counts as none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx {

constexpr size_t kMaxPartialRecordLength = 8192;

struct PartialRecord {
  std::string url;        // UTF-8
  int64_t size = 0;       // the manifest's size of the whole item
  std::string sha256;     // the pin as 64 lowercase hex digits; empty when unpinned
  std::string validator;  // ETag (quotes included) or Last-Modified; empty when none
};

// Whether two records describe the same item: URL, size and pin. The
// validator is not compared: it says which response the bytes came from.
bool same_item(const PartialRecord& a, const PartialRecord& b);

// The record's text. false, with `text` empty, when a value cannot be
// written (a control character in the URL or validator, a size outside 0 to
// 2^31 - 1, a malformed pin) or the text would be too long.
bool format_partial_record(const PartialRecord& record, std::string& text);

// Reads a record's text. false, with `record` unchanged, for anything
// malformed (see above).
bool parse_partial_record(const std::string& text, PartialRecord& record);

}  // namespace vx
