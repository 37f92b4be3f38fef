#include "archive/zip_archive.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "archive/zip_crypt.h"
#include "archive/zip_rules.h"
#include "base/win_raii.h"
#include "unzip.h"

namespace vx {

namespace {

constexpr size_t kPathBuffer = 260;
constexpr unsigned kTransferChunk = 16384;

// The reader's view of the archive file: a Win32 handle that the archive
// owns. The reader's close callback does not close it, so the handle is
// still there for the empty-archive check after the reader refuses a file,
// and it is closed exactly once, by the archive.
struct FileStream {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool failed = false;
};

voidpf ZCALLBACK streamOpen(voidpf opaque, const void* /*filename*/, int /*mode*/) {
  return opaque;
}

uLong ZCALLBACK streamRead(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
  FileStream* s = static_cast<FileStream*>(stream);
  DWORD got = 0;
  if (!::ReadFile(s->handle, buffer, static_cast<DWORD>(size), &got, nullptr)) {
    s->failed = true;
    return 0;
  }
  return got;
}

uLong ZCALLBACK streamWrite(voidpf /*opaque*/, voidpf stream, const void* /*buffer*/,
                            uLong /*size*/) {
  static_cast<FileStream*>(stream)->failed = true;
  return 0;
}

ZPOS64_T ZCALLBACK streamTell(voidpf /*opaque*/, voidpf stream) {
  FileStream* s = static_cast<FileStream*>(stream);
  LARGE_INTEGER zero{};
  LARGE_INTEGER at{};
  if (!::SetFilePointerEx(s->handle, zero, &at, FILE_CURRENT)) {
    s->failed = true;
    return static_cast<ZPOS64_T>(-1);
  }
  return static_cast<ZPOS64_T>(at.QuadPart);
}

long ZCALLBACK streamSeek(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
  FileStream* s = static_cast<FileStream*>(stream);
  DWORD method = FILE_BEGIN;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_CUR:
      method = FILE_CURRENT;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      method = FILE_END;
      break;
    case ZLIB_FILEFUNC_SEEK_SET:
      method = FILE_BEGIN;
      break;
    default:
      return -1;
  }
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(s->handle, distance, nullptr, method)) {
    s->failed = true;
    return -1;
  }
  return 0;
}

// zip::ReadAt over the archive file's handle.
bool readAt(void* context, uint64_t offset, uint8_t* out, size_t length) {
  const HANDLE file = static_cast<HANDLE>(context);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      !::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
    return false;
  }
  while (length > 0) {
    const DWORD want = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
    DWORD got = 0;
    if (!::ReadFile(file, out, want, &got, nullptr) || got == 0) return false;
    out += got;
    length -= got;
  }
  return true;
}

int ZCALLBACK streamClose(voidpf /*opaque*/, voidpf /*stream*/) { return 0; }

int ZCALLBACK streamError(voidpf /*opaque*/, voidpf stream) {
  return static_cast<FileStream*>(stream)->failed ? 1 : 0;
}

// Details of the cached item that extraction needs beyond ZipItemInfo.
struct ItemDetail {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t dosDateTime = 0;
};

FILETIME toFileTime(uint64_t value) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

bool isZero(const FILETIME& ft) { return ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0; }

void clearInfo(ZipItemInfo* info) { std::memset(info, 0, sizeof *info); }

// Joins up to three parts into out (kPathBuffer units). Returns false, with
// out untouched, when the result would not fit with its terminator.
bool joinPath(wchar_t* out, const wchar_t* a, const wchar_t* b, const wchar_t* c = L"") {
  const size_t la = std::wcslen(a);
  const size_t lb = std::wcslen(b);
  const size_t lc = std::wcslen(c);
  if (la + lb + lc > zip::kMaxPathUnits) return false;
  std::wmemcpy(out, a, la);
  std::wmemcpy(out + la, b, lb);
  std::wmemcpy(out + la + lb, c, lc);
  out[la + lb + lc] = L'\0';
  return true;
}

bool exists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Makes base (when given) and every folder of `path` under it, outermost
// first: with the base B, the path a/b/ makes B, B+a and B+a/b. Failures are
// not reported; a folder that was not made shows up when the file inside it
// cannot be created. Recursion depth is bounded by the path's length.
void ensureFolders(const wchar_t* base, const wchar_t* path, size_t length) {
  if (base && !exists(base)) ::CreateDirectoryW(base, nullptr);
  if (length == 0 || length > zip::kMaxPathUnits) return;
  for (size_t i = length; i > 0; --i) {
    if (zip::isSeparator(path[i - 1])) {
      if (i - 1 != 0) ensureFolders(base, path, i - 1);
      break;
    }
  }
  wchar_t part[kPathBuffer];
  std::wmemcpy(part, path, length);
  part[length] = L'\0';
  wchar_t full[kPathBuffer];
  if (!joinPath(full, base ? base : L"", part)) return;
  if (!exists(full)) ::CreateDirectoryW(full, nullptr);
}

}  // namespace

struct ZipArchive {
  UniqueHandle file;
  FileStream stream;
  unzFile reader = nullptr;
  bool seekable = false;
  int32_t count = 0;
  // The reader's current item, or -1 when unknown (after a failed step).
  int32_t currentIndex = -1;
  // Items from this index on cannot be reached: stepping to it failed once,
  // and the central directory does not change, so it would fail again.
  int32_t unreachableFrom = 0;
  ZipItemInfo cachedItem{};
  ItemDetail cachedDetail;
  int32_t cachedIndex = -1;
  std::unique_ptr<uint8_t[]> transferBuffer;
  std::vector<uint8_t> extraField;
  wchar_t baseFolder[kPathBuffer] = {};
  uint32_t extraFieldReads = 0;

  ~ZipArchive() {
    if (reader) unzClose(reader);
  }
};

namespace {

// Moves the reader to item `index`, going back to the first item only when
// the index lies below the current one.
bool positionReader(ZipArchive* a, int32_t index) {
  if (index >= a->unreachableFrom) return false;
  if (a->currentIndex < 0 || index < a->currentIndex) {
    if (unzGoToFirstFile(a->reader) != UNZ_OK) {
      a->currentIndex = -1;
      a->unreachableFrom = 0;
      return false;
    }
    a->currentIndex = 0;
  }
  while (a->currentIndex < index) {
    if (unzGoToNextFile(a->reader) != UNZ_OK) {
      a->unreachableFrom = a->currentIndex + 1;
      a->currentIndex = -1;
      return false;
    }
    ++a->currentIndex;
  }
  return true;
}

// Reads the description of the reader's current item, which is `index`,
// into the cache: central record, local header check, local extra field.
ZipResult describeCurrent(ZipArchive* a, int32_t index) {
  unz_file_info64 fi;
  char rawName[kPathBuffer];
  if (unzGetCurrentFileInfo64(a->reader, &fi, rawName, sizeof rawName, nullptr, 0, nullptr, 0) !=
      UNZ_OK) {
    return ZipResult::CorruptHeader;
  }
  if (fi.size_filename >= kPathBuffer) return ZipResult::RefusedName;
  // The stock reader also passes bzip2 (12) and would then hand back the
  // compressed bytes as data.
  if (fi.compression_method != 0 && fi.compression_method != Z_DEFLATED) {
    return ZipResult::CorruptHeader;
  }

  // Opening the item raw makes the reader check the local header against
  // the central record and locate the local extra field.
  if (unzOpenCurrentFile3(a->reader, nullptr, nullptr, 1, nullptr) != UNZ_OK) {
    unzCloseCurrentFile(a->reader);
    return ZipResult::CorruptHeader;
  }
  auto closeItem = make_scope_exit([a] { unzCloseCurrentFile(a->reader); });
  if (!a->seekable) return ZipResult::ReadFailed;
  const int extraLength = unzGetLocalExtrafield(a->reader, nullptr, 0);
  if (extraLength < 0) return ZipResult::ReadFailed;
  a->extraField.resize(static_cast<size_t>(extraLength));
  if (extraLength > 0) {
    ++a->extraFieldReads;
    const int got =
        unzGetLocalExtrafield(a->reader, a->extraField.data(), static_cast<unsigned>(extraLength));
    if (got != extraLength) return ZipResult::ReadFailed;
  }

  ZipItemInfo info;
  clearInfo(&info);
  info.index = index;

  int units = 0;
  if (fi.size_filename > 0) {
    units = ::MultiByteToWideChar(CP_UTF8, 0, rawName, static_cast<int>(fi.size_filename),
                                  info.name, static_cast<int>(zip::kMaxPathUnits));
    // UTF-8 never needs more UTF-16 units than bytes, so a raw name below 260
    // bytes always fits; a failure here is refused rather than guessed at.
    if (units <= 0) return ZipResult::RefusedName;
  }
  info.name[units] = L'\0';
  // A NUL inside the raw name ends the name, as for every consumer of it.
  size_t length = std::wcslen(info.name);
  length = zip::cleanItemName(info.name, length);
  info.name[length] = L'\0';
  if (!zip::isContainedName(info.name, length)) return ZipResult::RefusedName;

  info.attributes = zip::decodeAttributes(static_cast<uint16_t>(fi.version),
                                          static_cast<uint32_t>(fi.external_fa));
  info.compressedSize =
      fi.compressed_size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(fi.compressed_size);
  info.uncompressedSize = fi.uncompressed_size > 0xFFFFFFFFu
                              ? 0xFFFFFFFFu
                              : static_cast<uint32_t>(fi.uncompressed_size);

  zip::CalendarTime ct;
  if (zip::decodeDosDateTime(static_cast<uint32_t>(fi.dosDate), &ct)) {
    SYSTEMTIME st{};
    st.wYear = ct.year;
    st.wMonth = ct.month;
    st.wDay = ct.day;
    st.wHour = ct.hour;
    st.wMinute = ct.minute;
    st.wSecond = ct.second;
    FILETIME local;
    FILETIME utc;
    if (::SystemTimeToFileTime(&st, &local) && ::LocalFileTimeToFileTime(&local, &utc)) {
      info.accessTime = utc;
      info.creationTime = utc;
      info.writeTime = utc;
    }
  }
  const zip::ExtendedTimes ut =
      zip::scanExtendedTimestamp(a->extraField.data(), a->extraField.size());
  if (ut.hasWrite) info.writeTime = toFileTime(ut.writeTime);
  if (ut.hasAccess) info.accessTime = toFileTime(ut.accessTime);
  if (ut.hasCreation) info.creationTime = toFileTime(ut.creationTime);

  a->cachedItem = info;
  a->cachedDetail.flags = static_cast<uint16_t>(fi.flag);
  a->cachedDetail.method = static_cast<uint16_t>(fi.compression_method);
  a->cachedDetail.crc = static_cast<uint32_t>(fi.crc);
  a->cachedDetail.dosDateTime = static_cast<uint32_t>(fi.dosDate);
  a->cachedIndex = index;
  return ZipResult::Ok;
}

ZipResult describeInto(ZipArchive* a, int32_t index, ZipItemInfo* info) {
  if (index < -1 || index >= a->count) return ZipResult::BadArgument;
  if (index != -1 && index == a->cachedIndex) {
    *info = a->cachedItem;
    return ZipResult::Ok;
  }
  if (index == -1) {
    clearInfo(info);
    info->index = a->count;
    return ZipResult::Ok;
  }
  if (!positionReader(a, index)) return ZipResult::Unreachable;
  a->cachedIndex = -1;
  const ZipResult result = describeCurrent(a, index);
  if (result != ZipResult::Ok) return result;
  *info = a->cachedItem;
  return ZipResult::Ok;
}

// True when the 12-byte encryption header in front of the current item's
// data, which the reader has just opened with the empty password, verifies.
bool encryptionHeaderVerifies(ZipArchive* a) {
  const ZPOS64_T dataStart = unzGetCurrentFileZStreamPos64(a->reader);
  if (dataStart < 12) return false;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(dataStart - 12);
  unsigned char header[12];
  DWORD got = 0;
  if (!::SetFilePointerEx(a->file.get(), at, nullptr, FILE_BEGIN) ||
      !::ReadFile(a->file.get(), header, sizeof header, &got, nullptr) || got != sizeof header) {
    return false;
  }
  return vx_zip_empty_password_check(header) ==
         zip::encryptionCheckByte(a->cachedDetail.flags, a->cachedDetail.crc,
                                  a->cachedDetail.dosDateTime);
}

// Copies `length` units of `text` into out (kPathBuffer units).
void copyPart(wchar_t* out, const wchar_t* text, size_t length) {
  std::wmemcpy(out, text, length);
  out[length] = L'\0';
}

}  // namespace

ZipArchive* openArchive(const wchar_t* path) {
  if (path == nullptr) return nullptr;
  std::unique_ptr<ZipArchive> a(new (std::nothrow) ZipArchive);
  if (!a) return nullptr;

  const DWORD dirLength = ::GetCurrentDirectoryW(static_cast<DWORD>(kPathBuffer), a->baseFolder);
  // Needs room for a trailing separator and the terminator.
  if (dirLength == 0 || dirLength >= kPathBuffer) return nullptr;
  if (!zip::isSeparator(a->baseFolder[dirLength - 1])) {
    if (dirLength + 1 > zip::kMaxPathUnits) return nullptr;
    a->baseFolder[dirLength] = L'\\';
    a->baseFolder[dirLength + 1] = L'\0';
  }

  a->file.reset(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!a->file) return nullptr;
  a->stream.handle = a->file.get();
  LARGE_INTEGER zero{};
  a->seekable = ::SetFilePointerEx(a->file.get(), zero, nullptr, FILE_CURRENT) != 0;

  // An end record can claim billions of items over a directory of a few
  // bytes; no more are counted than the directory has room for. Read before
  // the reader opens, which then positions the file itself for every read.
  // Without a size from the end records, the file's own size is the limit.
  LARGE_INTEGER fileSize{};
  ::GetFileSizeEx(a->file.get(), &fileSize);
  uint64_t directorySize = static_cast<uint64_t>(fileSize.QuadPart);
  zip::centralDirectorySize(directorySize, readAt, a->file.get(), &directorySize);

  zlib_filefunc64_def io;
  io.zopen64_file = streamOpen;
  io.zread_file = streamRead;
  io.zwrite_file = streamWrite;
  io.ztell64_file = streamTell;
  io.zseek64_file = streamSeek;
  io.zclose_file = streamClose;
  io.zerror_file = streamError;
  io.opaque = &a->stream;
  a->reader = unzOpen2_64(path, &io);

  if (a->reader == nullptr) {
    // The reader finds no end record at offset 0, which is exactly where an
    // archive with no items has it.
    LARGE_INTEGER size{};
    LARGE_INTEGER start{};
    uint8_t head[22];
    DWORD got = 0;
    if (!::GetFileSizeEx(a->file.get(), &size) ||
        !::SetFilePointerEx(a->file.get(), start, nullptr, FILE_BEGIN) ||
        !::ReadFile(a->file.get(), head, sizeof head, &got, nullptr) ||
        !zip::isEmptyArchive(head, got, static_cast<uint64_t>(size.QuadPart))) {
      return nullptr;
    }
    a->count = 0;
    a->unreachableFrom = 0;
    return a.release();
  }

  unz_global_info64 global;
  if (unzGetGlobalInfo64(a->reader, &global) != UNZ_OK) return nullptr;
  uint64_t count = global.number_entry;
  if (count > directorySize / zip::kMinCentralRecord) {
    count = directorySize / zip::kMinCentralRecord;
  }
  a->count = count > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(count);
  a->unreachableFrom = a->count;
  // The reader stands on the first item after opening, if it could read it.
  a->currentIndex = -1;
  return a.release();
}

ZipResult describeItem(ZipArchive* archive, int32_t index, ZipItemInfo* info) {
  if (archive == nullptr || info == nullptr) return ZipResult::BadArgument;
  const ZipResult result = describeInto(archive, index, info);
  if (result != ZipResult::Ok) clearInfo(info);
  return result;
}

ZipResult extractItem(ZipArchive* archive, int32_t index, const wchar_t* destination) {
  if (archive == nullptr || destination == nullptr) return ZipResult::BadArgument;
  ZipArchive* a = archive;
  if (index < 0 || index >= a->count) return ZipResult::BadArgument;
  if (!positionReader(a, index)) return ZipResult::Unreachable;
  ZipItemInfo info;
  const ZipResult described = describeInto(a, index, &info);
  if (described != ZipResult::Ok) return described;

  const size_t destLength = std::wcslen(destination);
  if (destLength > zip::kMaxPathUnits) return ZipResult::CannotCreate;

  if (info.attributes & zip::kAttrDirectory) {
    const bool absolute = zip::isAbsolutePath(destination, destLength);
    ensureFolders(absolute ? nullptr : a->baseFolder, destination, destLength);
    return ZipResult::Ok;
  }

  size_t split = 0;  // length of the folder part, its separator included
  for (size_t i = destLength; i > 0; --i) {
    if (zip::isSeparator(destination[i - 1])) {
      split = i;
      break;
    }
  }
  wchar_t folderPart[kPathBuffer];
  copyPart(folderPart, destination, split);
  const wchar_t* filePart = destination + split;
  wchar_t filePath[kPathBuffer];
  const bool absolute = zip::isAbsolutePath(folderPart, split);
  if (absolute) {
    if (!joinPath(filePath, folderPart, filePart)) return ZipResult::CannotCreate;
    ensureFolders(nullptr, folderPart, split);
  } else {
    if (!joinPath(filePath, a->baseFolder, folderPart, filePart)) return ZipResult::CannotCreate;
    ensureFolders(a->baseFolder, folderPart, split);
  }

  UniqueHandle out(
      ::CreateFileW(filePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, info.attributes, nullptr));
  if (!out) return ZipResult::CannotCreate;

  const bool encrypted = (a->cachedDetail.flags & 0x0001) != 0;
  // The empty password, not a null one: with a password the reader
  // deciphers, without one it would hand back ciphertext.
  const int opened = unzOpenCurrentFile3(a->reader, nullptr, nullptr, 0, encrypted ? "" : nullptr);
  auto closeItem = make_scope_exit([a] { unzCloseCurrentFile(a->reader); });
  if (opened != UNZ_OK) return ZipResult::InflateFailed;
  if (encrypted && !encryptionHeaderVerifies(a)) return ZipResult::WrongPassword;

  if (!a->transferBuffer) {
    a->transferBuffer.reset(new (std::nothrow) uint8_t[kTransferChunk]);
    if (!a->transferBuffer) return ZipResult::InflateFailed;
  }

  for (;;) {
    const int n = unzReadCurrentFile(a->reader, a->transferBuffer.get(), kTransferChunk);
    if (n < 0) return ZipResult::InflateFailed;
    if (n > 0) {
      DWORD written = 0;
      if (!::WriteFile(out.get(), a->transferBuffer.get(), static_cast<DWORD>(n), &written,
                       nullptr) ||
          written != static_cast<DWORD>(n)) {
        return ZipResult::WriteFailed;
      }
      continue;
    }
    // No bytes: the item is complete when its whole size has been delivered
    // or, for a deflated item, when the deflate stream has ended (the reader
    // yields nothing more only then).
    if (a->cachedDetail.method != Z_DEFLATED && unzeof(a->reader) != 1) {
      return ZipResult::InflateFailed;
    }
    break;
  }

  // The reader's verdict on closing, where a CRC-32 mismatch would show, is
  // not consulted: an item read to its end counts as extracted.
  ::SetFileTime(out.get(), isZero(info.creationTime) ? nullptr : &info.creationTime,
                isZero(info.accessTime) ? nullptr : &info.accessTime,
                isZero(info.writeTime) ? nullptr : &info.writeTime);
  return ZipResult::Ok;
}

ZipResult closeArchive(ZipArchive* archive) {
  if (archive == nullptr) return ZipResult::BadArgument;
  delete archive;
  return ZipResult::Ok;
}

uint32_t localExtraFieldReads(const ZipArchive* archive) {
  return archive ? archive->extraFieldReads : 0;
}

}  // namespace vx
