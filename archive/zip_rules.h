// Rules of zip extraction that need no Windows API: item-name cleaning and
// the containment check, attribute decoding, MS-DOS date and time decoding,
// the scan of extra-field blocks for the extended timestamp, recognition of
// an archive with no items, the central directory's size from the end
// records, and the check byte of an encryption header.
//
// Everything here works on bytes, on 16-bit code units (char16_t, or wchar_t
// where that is 16 bits) and on uint64_t file times (100-ns intervals since
// 1601-01-01 UTC). Nothing reads outside the lengths it is given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {
namespace zip {

// Win32 file attribute bits that an item can carry.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// Longest item name, destination or folder path in code units, without the
// terminator; the fixed buffers hold 260 units including it.
constexpr size_t kMaxPathUnits = 259;

template <typename Char>
inline bool isSeparator(Char c) {
  return c == Char('\\') || c == Char('/');
}

// True when the path begins with a separator or names a drive ("X:...").
template <typename Char>
inline bool isAbsolutePath(const Char* path, size_t length) {
  if (length >= 1 && isSeparator(path[0])) return true;
  return length >= 2 && path[1] == Char(':');
}

// Cleans an item name in place and returns its new length. The first rule
// that fits is applied, then the rules start again from the first; the
// cleaning stops when none fits:
//   1. the second unit is ':'            -> drop the first two units;
//   2. the name begins with '\' or '/'   -> drop that unit;
//   3. "\..\", "\../", "/../", "/..\" (tried in this order): for the first
//      of them that occurs, drop everything up to and including its first
//      occurrence.
// Everything before a ".." run is discarded, not resolved, so the result
// may still begin with a ".." component; see isContainedName.
template <typename Char>
size_t cleanItemName(Char* name, size_t length);

// True when a cleaned name, appended to a folder, stays inside that folder:
// it is not absolute, and no component (between separators) consists only of
// dots and spaces with two or more dots (Windows trims trailing dots and
// spaces, so ". ." and "..." would also act as a parent reference). Empty
// components and "." are harmless and allowed.
template <typename Char>
bool isContainedName(const Char* name, size_t length);

// Attribute bits from the central record. The host is the high byte of
// versionMadeBy: hosts 0, 7, 11 and 14 keep MS-DOS attributes in the low
// byte of the external attributes; every other host keeps a Unix mode in the
// high 16 bits (directory from bit 30, read-only when the owner's write bit
// 23 is clear, archive always).
uint32_t decodeAttributes(uint16_t versionMadeBy, uint32_t externalAttributes);

struct CalendarTime {
  uint16_t year, month, day, hour, minute, second;
};

// Splits an MS-DOS date (high 16 bits) and time (low 16 bits). Returns false
// when they form no valid calendar time (month 0 or above 12, a day that the
// month lacks, hour above 23, minute above 59, second above 59); *out is
// filled with the raw fields either way.
bool decodeDosDateTime(uint32_t dosDateTime, CalendarTime* out);

// The FILETIME value of a signed 32-bit Unix time.
uint64_t unixTimeToFileTime(int32_t seconds);

struct ExtendedTimes {
  bool hasWrite = false;
  bool hasAccess = false;
  bool hasCreation = false;
  uint64_t writeTime = 0;
  uint64_t accessTime = 0;
  uint64_t creationTime = 0;
};

// Scans a local extra field for the first extended-timestamp block (tag
// bytes 'U' 'T'). Fields of 4 bytes or fewer hold nothing. Blocks are a
// 2-byte tag, a 2-byte little-endian data length and the data; other blocks
// are skipped by their whole length. In the first UT block, the flags byte
// (bit 0 write, bit 1 access, bit 2 creation) is followed by one 4-byte
// little-endian signed Unix time per set flag, in that order. A flagged time
// that does not lie wholly inside both the block's data and the field is not
// read, and neither is any time after it.
ExtendedTimes scanExtendedTimestamp(const uint8_t* field, size_t length);

// True when the bytes of a whole file are an end-of-central-directory record
// at offset 0 that counts no items (plus its own comment): an archive with
// no items, which the zip reader refuses to open.
bool isEmptyArchive(const uint8_t* head, size_t headLength, uint64_t fileSize);

// Smallest central-directory record: its fixed part, with an empty name, extra
// field and comment.
constexpr uint64_t kMinCentralRecord = 46;

// Reads `length` bytes at `offset` of the archive file into `out`; false
// when they cannot all be read.
using ReadAt = bool (*)(void* context, uint64_t offset, uint8_t* out, size_t length);

// The central directory's size as the end records state it, found where the
// zip reader finds them: the last zip64 locator ("PK\6\7") that starts in
// the last 65535 bytes of the file, after offset 0, names disk 0 of 1 and
// points at a zip64 end record; without one, the last classic end record
// ("PK\5\6") there. False when there is none or it cannot be read. No
// directory holds more than size / kMinCentralRecord items, whatever count
// the end record claims.
bool centralDirectorySize(uint64_t fileSize, ReadAt read, void* context, uint64_t* size);

// The byte that the last byte of a deciphered 12-byte encryption header must
// equal: the high byte of the CRC-32, or of the MS-DOS time (the low 16 bits
// of dosDateTime) when general-purpose bit 3 (sizes after the data) is set.
uint8_t encryptionCheckByte(uint16_t generalPurposeFlags, uint32_t crc32, uint32_t dosDateTime);

// ---------------------------------------------------------------------------

namespace detail {

// Position of the first occurrence of the 4-unit run a,'.','.',b, or length.
template <typename Char>
size_t findDotDotRun(const Char* name, size_t length, char a, char b) {
  for (size_t i = 0; i + 4 <= length; ++i) {
    if (name[i] == Char(a) && name[i + 1] == Char('.') && name[i + 2] == Char('.') &&
        name[i + 3] == Char(b)) {
      return i;
    }
  }
  return length;
}

template <typename Char>
void dropFront(Char* name, size_t* length, size_t count) {
  for (size_t i = count; i < *length; ++i) name[i - count] = name[i];
  *length -= count;
}

}  // namespace detail

template <typename Char>
size_t cleanItemName(Char* name, size_t length) {
  static const char kRuns[4][2] = {{'\\', '\\'}, {'\\', '/'}, {'/', '/'}, {'/', '\\'}};
  // Every rule shortens the name, so this ends after at most `length` rounds.
  for (;;) {
    if (length >= 2 && name[1] == Char(':')) {
      detail::dropFront(name, &length, 2);
      continue;
    }
    if (length >= 1 && isSeparator(name[0])) {
      detail::dropFront(name, &length, 1);
      continue;
    }
    bool dropped = false;
    for (const auto& run : kRuns) {
      size_t at = detail::findDotDotRun(name, length, run[0], run[1]);
      if (at < length) {
        detail::dropFront(name, &length, at + 4);
        dropped = true;
        break;
      }
    }
    if (!dropped) return length;
  }
}

template <typename Char>
bool isContainedName(const Char* name, size_t length) {
  if (isAbsolutePath(name, length)) return false;
  size_t start = 0;
  while (start <= length) {
    size_t end = start;
    while (end < length && !isSeparator(name[end])) ++end;
    size_t dots = 0;
    bool onlyDotsAndSpaces = true;
    for (size_t i = start; i < end; ++i) {
      if (name[i] == Char('.')) {
        ++dots;
      } else if (name[i] != Char(' ')) {
        onlyDotsAndSpaces = false;
        break;
      }
    }
    if (onlyDotsAndSpaces && dots >= 2) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace zip
}  // namespace vx
