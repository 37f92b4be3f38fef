// File and folder fingerprints, shared by the install check and by the
// operator's manifest tool, so that both compute the very same texts.
//
// A fingerprint is the MurmurHash3 x86_32 hash (seed 0) of a byte sequence,
// written as 8 lowercase hex digits, least significant byte first. Sizes are
// signed 32-bit byte counts; a file of 2 GiB or more lies outside what they
// represent and never counts as matching anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vx {

// Fingerprint of empty content, of a file that cannot be read and of an
// empty folder.
constexpr const char kEmptyFingerprint[] = "00000000";

// MurmurHash3 x86_32 of `length` bytes. The algorithm is the published one
// unchanged (blocks read little-endian whatever the host's byte order).
uint32_t murmur3_x86_32(const void* data, size_t length, uint32_t seed = 0);

// The same hash fed piece by piece: any number of update() calls with pieces
// of any length give, at finish(), the digest murmur3_x86_32 gives for all
// of the bytes at once. Nothing is allocated; up to three bytes wait for the
// next piece.
class Murmur3Hasher {
 public:
  explicit Murmur3Hasher(uint32_t seed = 0) : hash_(seed) {}
  void update(const void* data, size_t length);
  // The digest of everything fed so far; the hasher can go on after it.
  uint32_t finish() const;

 private:
  uint32_t hash_;
  uint32_t pending_ = 0;       // bytes of an unfinished block, first byte lowest
  size_t pending_length_ = 0;  // 0 to 3
  uint64_t total_length_ = 0;
};

// The 8-digit text of a hash: bits 0-7 first, bits 24-31 last.
std::string fingerprint_text(uint32_t hash);

// Fingerprint of a byte sequence; "00000000" when it is empty.
std::string fingerprint_of(const void* data, size_t length);

// Size of a file in bytes, or -1 when it cannot be opened or holds 2 GiB or
// more.
int32_t file_size_of(const std::filesystem::path& path);

// Bytes read from a file per pass when fingerprinting it: memory stays flat
// whatever the file's size.
constexpr size_t kFingerprintChunk = size_t{1} << 20;

// Scratch memory for file reads that grows and is reused, so that
// fingerprinting many files does not allocate (and fault in) fresh memory for
// each one. Its content is never initialised.
class ReadBuffer {
 public:
  // Returns room for at least `size` bytes, or nullptr if that much memory
  // cannot be had.
  char* reserve(size_t size);

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
};

// Fingerprint of a file's whole content, read in pieces of at most
// kFingerprintChunk bytes; "00000000" when the file is empty, cannot be
// opened or read in full, or holds 2 GiB or more.
std::string file_fingerprint_of(const std::filesystem::path& path, ReadBuffer& buffer);
std::string file_fingerprint_of(const std::filesystem::path& path);

// Fingerprint of a folder given the fingerprints of all files below it:
// distinct fingerprints, sorted ascending, joined without separators, hashed.
// Order and duplicates of the input do not matter.
std::string folder_fingerprint_of(std::vector<std::string> file_fingerprints);

// Outcome of checking a folder's files against an expected size total.
struct FolderDigest {
  // The files' sizes add up to the expected total, and every file could be
  // opened and is below 2 GiB. When false nothing was read and `fingerprint`
  // is empty.
  bool sizes_match = false;
  // Sum of the file sizes (64-bit, so it cannot wrap); -1 if a file could not
  // be opened or was too large.
  int64_t total_size = 0;
  std::string fingerprint;
};

// Sizes every file first and, only when the total equals `expected_total`,
// fingerprints the content and returns the folder fingerprint. A stale folder
// is thus told apart without reading any content.
FolderDigest digest_folder_files(const std::vector<std::filesystem::path>& files,
                                 int32_t expected_total);

// Sizes every file and, when every one could be opened and the total fits a
// signed 32-bit number (`sizes_match`), fingerprints the folder; for
// producing a manifest.
FolderDigest digest_folder_files(const std::vector<std::filesystem::path>& files);

}  // namespace vx
