// Zip extraction front end over the minizip reader and zlib.
//
// Opens an archive, tells how many items it holds, describes each item
// (cleaned name, attributes, times, sizes) and writes an item to a
// destination path, making the folders on the way. Only stored (0) and
// deflated (8) items are read. One thread uses an archive from openArchive
// to closeArchive; nothing is shared between archives.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vx {

enum class ZipResult : uint32_t {
  Ok = 0x00000000,
  // The destination file cannot be created. Also given, with nothing
  // created, when the destination or the composed file path would need 260
  // or more characters.
  CannotCreate = 0x00000200,
  WriteFailed = 0x00000400,
  // The item's local header fails the check against its central record, or
  // the method is neither stored nor deflated.
  CorruptHeader = 0x00000700,
  // The archive is not seekable, or the local extra field cannot be read in
  // full.
  ReadFailed = 0x00000800,
  // The item's name is refused and nothing is written for it: a raw name of
  // 260 bytes or more, or a cleaned name that could climb out of the folder
  // it is joined to (a ".." component anywhere, including a trailing one, or
  // an absolute path). The name is never shortened or guessed at.
  RefusedName = 0x00000900,
  // The central directory ends or is damaged before the item, so the reader
  // cannot step to it; no later item can be reached either, so a caller
  // walking the items upward stops here.
  Unreachable = 0x00000A00,
  // An encrypted item whose 12-byte header does not verify with the empty
  // password.
  WrongPassword = 0x00001000,
  // The index is out of range, or the archive, the record or the destination
  // is missing.
  BadArgument = 0x00010000,
  // The reader fails while reading, or yields no bytes before the item is
  // complete.
  InflateFailed = 0x05000000,
};

struct ZipItemInfo {
  // Position in the central directory from 0; for the count query (-1), the
  // number of items.
  int32_t index;
  // The name decoded from UTF-8 (whatever general-purpose bit 11 says) and
  // cleaned; NUL-terminated.
  wchar_t name[260];
  // Only FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM, _DIRECTORY and _ARCHIVE.
  uint32_t attributes;
  // UTC. A time that the archive does not give is 0 and is not applied.
  FILETIME accessTime, creationTime, writeTime;
  // As the central directory records them.
  uint32_t compressedSize, uncompressedSize;
};

struct ZipArchive;

// Opens the archive at `path` (a full path) and notes the current directory
// as the base for relative destinations. Returns nullptr when the file
// cannot be opened, is not a readable zip archive, or the current directory
// with its trailing separator does not fit in 260 characters. An archive
// with no items opens and counts 0. The caller owns the result and releases
// it with closeArchive.
ZipArchive* openArchive(const wchar_t* path);

// Index -1 fills info->index with the number of items and clears the rest;
// 0 to count-1 describe that item. The count is the end record's, but never
// more than the central directory has room for (its size / 46, the smallest
// central record): a claim of billions over a few bytes counts only what
// could be there. Walking the indices upward reads each central record
// once; describing the same index again reads nothing. Unreachable tells
// that neither this item nor any later one can be read.
// On failure *info is cleared (empty name), so a caller that ignores the
// result never joins a refused name to a path.
ZipResult describeItem(ZipArchive* archive, int32_t index, ZipItemInfo* info);

// Writes item `index` to `destination`: the file to produce, or for a
// folder item the folder to make. A destination that is not absolute is
// taken under the base folder. The item's own name plays no part in the
// path, but an item whose name is refused is never written. Existing files
// are replaced; a failed extraction leaves the partial file in place. A
// CRC-32 mismatch is not reported: an item read to its end is Ok.
ZipResult extractItem(ZipArchive* archive, int32_t index, const wchar_t* destination);

// Closes the reader and the archive file and frees the archive; BadArgument
// when no archive is given.
ZipResult closeArchive(ZipArchive* archive);

// How many times the archive has read a local extra field (for tests that
// check the description cache).
uint32_t localExtraFieldReads(const ZipArchive* archive);

}  // namespace vx
