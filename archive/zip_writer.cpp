#include "archive/zip_writer.h"

#include <fstream>

#include "zip.h"

#ifdef _WIN32
#include "iowin32.h"
#endif

namespace vx {
namespace zip {

namespace {

constexpr uint16_t kMadeByMsDos = 20;  // host 0, made to version 2.0
constexpr uint16_t kUtf8NameFlag = 0x0800;
constexpr uLong kDosDirectory = 0x10;
constexpr uLong kDosArchive = 0x20;
constexpr uLong kDosReadOnly = 0x01;
constexpr size_t kReadChunk = 1 << 20;

// MS-DOS date (high 16 bits) and time of a Unix time, taken as UTC.
uLong dos_date_time(int64_t unix_seconds) {
  constexpr int64_t kFirst = 315532800;  // 1980-01-01 00:00:00
  constexpr int64_t kLast = 4354819198;  // 2107-12-31 23:59:58
  if (unix_seconds < kFirst) unix_seconds = kFirst;
  if (unix_seconds > kLast) unix_seconds = kLast;
  int64_t days = unix_seconds / 86400;
  const int64_t seconds = unix_seconds % 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  const uLong date = static_cast<uLong>(((year - 1980) << 9) | (month << 5) | day);
  const uLong time = static_cast<uLong>(((seconds / 3600) << 11) | (((seconds / 60) % 60) << 5) |
                                        ((seconds % 60) / 2));
  return (date << 16) | time;
}

// The extended-timestamp block with the modification time only.
void timestamp_block(int64_t unix_seconds, unsigned char block[9]) {
  if (unix_seconds < INT32_MIN) unix_seconds = INT32_MIN;
  if (unix_seconds > INT32_MAX) unix_seconds = INT32_MAX;
  const uint32_t t = static_cast<uint32_t>(static_cast<int32_t>(unix_seconds));
  const unsigned char bytes[9] = {0x55,
                                  0x54,
                                  5,
                                  0,
                                  1,
                                  static_cast<unsigned char>(t),
                                  static_cast<unsigned char>(t >> 8),
                                  static_cast<unsigned char>(t >> 16),
                                  static_cast<unsigned char>(t >> 24)};
  for (int i = 0; i < 9; ++i) block[i] = bytes[i];
}

bool needs_utf8_flag(const std::string& name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

// Adds one entry; the file's content is read in chunks.
bool add_entry(zipFile archive, const WriterEntry& entry, std::vector<char>& chunk,
               std::string& error) {
  const bool folder = entry.source.empty();
  zip_fileinfo info{};
  info.dosDate = dos_date_time(entry.modified);
  info.external_fa = folder ? kDosDirectory : (kDosArchive | (entry.read_only ? kDosReadOnly : 0));
  unsigned char block[9];
  timestamp_block(entry.modified, block);
  std::ifstream in;
  if (!folder) {
    in.open(entry.source, std::ios::binary);
    if (!in) {
      error = "cannot read '" + entry.source.u8string() + "'";
      return false;
    }
  }
  const int opened = zipOpenNewFileInZip4_64(
      archive, entry.name.c_str(), &info, block, sizeof block, block, sizeof block, nullptr,
      folder ? 0 : Z_DEFLATED, folder ? 0 : 9, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0,
      kMadeByMsDos, needs_utf8_flag(entry.name) ? kUtf8NameFlag : 0, 0);
  if (opened != ZIP_OK) {
    error = "cannot add '" + entry.name + "' to the archive";
    return false;
  }
  while (!folder) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 &&
        zipWriteInFileInZip(archive, chunk.data(), static_cast<unsigned>(got)) != ZIP_OK) {
      error = "cannot write '" + entry.name + "' into the archive";
      return false;
    }
    if (!in) break;
  }
  if (!folder && !in.eof()) {
    error = "cannot read '" + entry.source.u8string() + "'";
    return false;
  }
  if (zipCloseFileInZip(archive) != ZIP_OK) {
    error = "cannot write '" + entry.name + "' into the archive";
    return false;
  }
  return true;
}

}  // namespace

bool write_archive(const std::filesystem::path& path, const std::vector<WriterEntry>& entries,
                   std::string& error) {
  // minizip's own file functions: on Windows through the wide path, so that
  // any folder name works.
#ifdef _WIN32
  zlib_filefunc64_def io;
  fill_win32_filefunc64W(&io);
  zipFile archive = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
#else
  zipFile archive = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
#endif
  if (archive == nullptr) {
    error = "cannot create '" + path.u8string() + "'";
    return false;
  }
  std::vector<char> chunk(kReadChunk);
  for (const WriterEntry& entry : entries) {
    if (!add_entry(archive, entry, chunk, error)) {
      zipClose(archive, nullptr);
      return false;
    }
  }
  if (zipClose(archive, nullptr) != ZIP_OK) {
    error = "cannot write '" + path.u8string() + "'";
    return false;
  }
  return true;
}

}  // namespace zip
}  // namespace vx
