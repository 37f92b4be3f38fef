// What the program's runtime install makes of a zip archive, worked out
// without writing anything: the same minizip reader, the same item rules
// (zip_rules.h) and the same order as the install on a player's machine,
// with the way Windows creates the files (letter case, read-only files,
// reserved names). Portable, so that the operator's tool can confirm an
// archive before it publishes it and check one that a server serves.
//
// The install takes the items in index order: an item whose name is refused
// or that cannot be read is skipped, a folder item only makes folders, a
// file item is created (replacing an earlier file of the same name unless
// Windows refuses that) and filled with what the reader yields, even when
// that is less than the item holds. The walk follows every one of those
// roads and reports each item that does not end as its own bytes under its
// own name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace vx {
namespace zip {

// The bytes of an archive, read at any offset.
class ArchiveBytes {
 public:
  virtual ~ArchiveBytes() = default;
  virtual uint64_t size() const = 0;
  // Reads `length` bytes at `offset`; false when they cannot all be read.
  virtual bool read(uint64_t offset, void* out, size_t length) = 0;
};

// An archive in memory. The bytes are not copied and must outlive it.
class MemoryBytes final : public ArchiveBytes {
 public:
  MemoryBytes(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t length) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// An archive file. is_open() tells whether it could be opened; one that
// could not reads as an empty file.
class FileBytes final : public ArchiveBytes {
 public:
  explicit FileBytes(const std::filesystem::path& path);
  bool is_open() const { return open_; }
  uint64_t size() const override { return size_; }
  bool read(uint64_t offset, void* out, size_t length) override;

 private:
  std::ifstream file_;
  bool open_ = false;
  uint64_t size_ = 0;
};

// One file the runtime folder holds after the install.
struct UnpackedFile {
  std::string name;         // the cleaned item name (UTF-8) joined to the runtime folder
  uint32_t attributes = 0;  // the kAttr* bits it is created with
  uint64_t size = 0;        // bytes the program writes into it
  std::string digest;       // the caller's digest of those bytes
  int32_t index = 0;        // the item that wrote it last
};

// An item that does not end as its own bytes under its own name.
struct ItemNote {
  int32_t index = 0;
  std::string name;  // cleaned when it got that far, else as stored (UTF-8)
  std::string what;
  // True: the runtime folder differs from the item (it is missing, empty,
  // partial, damaged or replaced) on every player's machine. False: it may
  // differ on some machines only, or nothing of the content is lost.
  bool loses_content = true;
};

struct Unpacked {
  bool opened = false;              // the program opens it at all (else it unpacks nothing)
  int32_t items = 0;                // the items it walks
  std::vector<UnpackedFile> files;  // the runtime folder afterwards, in the order first created
  std::vector<ItemNote> notes;      // in item order
  // The unpacked bytes passed the limit: the walk stopped there, so `files`
  // is not all that the program would write.
  bool stopped = false;
};

// Digest of one file's whole content (a fingerprint, say).
using ContentDigest = std::function<std::string(const uint8_t* data, size_t size)>;

// Walks the archive as the program's install unpacks it into an empty
// runtime folder. `limit` bounds the bytes unpacked in all, so that a
// hostile archive cannot make the walk inflate without end; one file's
// content is held in memory at a time.
Unpacked unpack_as_program(ArchiveBytes& archive, const ContentDigest& digest, uint64_t limit);

}  // namespace zip
}  // namespace vx
