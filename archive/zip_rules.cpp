#include "archive/zip_rules.h"

namespace vx {
namespace zip {

namespace {

uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t readLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t readLe64(const uint8_t* p) {
  return static_cast<uint64_t>(readLe32(p)) | (static_cast<uint64_t>(readLe32(p + 4)) << 32);
}

constexpr uint32_t kEndRecordSignature = 0x06054b50u;
constexpr uint32_t kZip64EndRecordSignature = 0x06064b50u;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50u;
// The end records lie within this many bytes of the end: the classic record
// plus the longest comment it can announce.
constexpr uint64_t kEndSearchWindow = 0xFFFF;

// Offset of the last `signature` that lies wholly within the file's last
// kEndSearchWindow bytes; 0 when there is none (a record at offset 0 does not
// count either, as for the zip reader). Searched backwards in chunks that
// overlap by 3 bytes, so a signature across two chunks is seen.
uint64_t findLastSignature(uint64_t fileSize, ReadAt read, void* context, uint32_t signature) {
  const uint64_t lowest = fileSize - (fileSize < kEndSearchWindow ? fileSize : kEndSearchWindow);
  uint8_t chunk[4096];
  uint64_t end = fileSize;
  while (end - lowest >= 4) {
    const uint64_t start = end - lowest > sizeof chunk ? end - sizeof chunk : lowest;
    const size_t length = static_cast<size_t>(end - start);
    if (!read(context, start, chunk, length)) return 0;
    for (size_t i = length - 3; i-- > 0;) {
      if (readLe32(chunk + i) == signature) return start + i;
    }
    if (start == lowest) break;
    end = start + 3;
  }
  return 0;
}

bool isLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year)) return 29;
  return kDays[month - 1];
}

}  // namespace

uint32_t decodeAttributes(uint16_t versionMadeBy, uint32_t externalAttributes) {
  const unsigned host = versionMadeBy >> 8;
  uint32_t attributes = 0;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    // MS-DOS, Macintosh, NTFS and VFAT writers keep the DOS attribute byte.
    if (externalAttributes & 0x01) attributes |= kAttrReadOnly;
    if (externalAttributes & 0x02) attributes |= kAttrHidden;
    if (externalAttributes & 0x04) attributes |= kAttrSystem;
    if (externalAttributes & 0x10) attributes |= kAttrDirectory;
    if (externalAttributes & 0x20) attributes |= kAttrArchive;
  } else {
    if (externalAttributes & 0x40000000u) attributes |= kAttrDirectory;
    if (!(externalAttributes & 0x00800000u)) attributes |= kAttrReadOnly;
    attributes |= kAttrArchive;
  }
  return attributes;
}

bool decodeDosDateTime(uint32_t dosDateTime, CalendarTime* out) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  CalendarTime t;
  t.year = static_cast<uint16_t>(1980 + ((date >> 9) & 0x7F));
  t.month = static_cast<uint16_t>((date >> 5) & 0x0F);
  t.day = static_cast<uint16_t>(date & 0x1F);
  t.hour = static_cast<uint16_t>((time >> 11) & 0x1F);
  t.minute = static_cast<uint16_t>((time >> 5) & 0x3F);
  t.second = static_cast<uint16_t>(2 * (time & 0x1F));
  if (out) *out = t;
  if (t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > daysInMonth(t.year, t.month)) return false;
  return t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

uint64_t unixTimeToFileTime(int32_t seconds) {
  // The sum is positive for every 32-bit time, so the product cannot wrap.
  return static_cast<uint64_t>(static_cast<int64_t>(seconds) + 11644473600LL) * 10000000ULL;
}

ExtendedTimes scanExtendedTimestamp(const uint8_t* field, size_t length) {
  ExtendedTimes times;
  if (field == nullptr || length <= 4) return times;
  size_t offset = 0;
  while (offset + 4 < length) {
    const size_t dataLength = readLe16(field + offset + 2);
    if (field[offset] == 0x55 && field[offset + 1] == 0x54) {
      // The block's data ends at its declared length or at the field's end,
      // whichever comes first; the loop guarantees the flags byte is inside.
      size_t dataEnd = offset + 4 + dataLength;
      if (dataEnd > length) dataEnd = length;
      if (dataLength == 0) return times;
      const uint8_t flags = field[offset + 4];
      size_t at = offset + 5;
      bool* has[3] = {&times.hasWrite, &times.hasAccess, &times.hasCreation};
      uint64_t* value[3] = {&times.writeTime, &times.accessTime, &times.creationTime};
      for (int bit = 0; bit < 3; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (at + 4 > dataEnd) break;
        *value[bit] = unixTimeToFileTime(static_cast<int32_t>(readLe32(field + at)));
        *has[bit] = true;
        at += 4;
      }
      return times;
    }
    offset += 4 + dataLength;
  }
  return times;
}

bool isEmptyArchive(const uint8_t* head, size_t headLength, uint64_t fileSize) {
  if (head == nullptr || headLength < 22) return false;
  if (readLe32(head) != 0x06054b50u) return false;
  // Disk numbers, both item counts, directory size and offset all zero.
  for (size_t i = 4; i < 20; ++i) {
    if (head[i] != 0) return false;
  }
  const uint64_t commentLength = readLe16(head + 20);
  return fileSize == 22 + commentLength;
}

bool centralDirectorySize(uint64_t fileSize, ReadAt read, void* context, uint64_t* size) {
  if (read == nullptr || size == nullptr) return false;
  const uint64_t locator = findLastSignature(fileSize, read, context, kZip64LocatorSignature);
  uint8_t record[56];
  if (locator != 0 && read(context, locator, record, 20) && readLe32(record + 4) == 0 &&
      readLe32(record + 16) == 1) {
    const uint64_t at = readLe64(record + 8);
    if (read(context, at, record, 4) && readLe32(record) == kZip64EndRecordSignature) {
      // From here on the reader takes this record or refuses the archive.
      if (!read(context, at, record, sizeof record)) return false;
      *size = readLe64(record + 40);
      return true;
    }
  }
  const uint64_t end = findLastSignature(fileSize, read, context, kEndRecordSignature);
  if (end == 0 || !read(context, end, record, 16)) return false;
  *size = readLe32(record + 12);
  return true;
}

uint8_t encryptionCheckByte(uint16_t generalPurposeFlags, uint32_t crc32, uint32_t dosDateTime) {
  if (generalPurposeFlags & 0x0008) return static_cast<uint8_t>((dosDateTime >> 8) & 0xFF);
  return static_cast<uint8_t>(crc32 >> 24);
}

}  // namespace zip
}  // namespace vx
