#include "update/fingerprint.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <new>

namespace vx {
namespace {

constexpr int64_t kMaxFileSize = std::numeric_limits<int32_t>::max();

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// Little-endian load; compilers turn it into one move on x86.
inline uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint32_t kC1 = 0xcc9e2d51u;
constexpr uint32_t kC2 = 0x1b873593u;

inline uint32_t scramble(uint32_t k) {
  k *= kC1;
  k = rotl32(k, 15);
  return k * kC2;
}

inline uint32_t mix_block(uint32_t h, uint32_t k) {
  h ^= scramble(k);
  h = rotl32(h, 13);
  return h * 5 + 0xe6546b64u;
}

inline uint32_t mix_blocks(uint32_t h, const unsigned char* bytes, size_t block_count) {
  for (size_t i = 0; i < block_count; ++i) h = mix_block(h, load_le32(bytes + i * 4));
  return h;
}

inline uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

// The tail of 1 to 3 bytes (`tail`, first byte lowest), the length as a
// 32-bit value, as in the published algorithm, and the final mix.
inline uint32_t finish_hash(uint32_t h, uint32_t tail, size_t tail_length, uint64_t length) {
  if (tail_length != 0) h ^= scramble(tail);
  h ^= static_cast<uint32_t>(length);
  return fmix32(h);
}

// Opens `path` positioned at its end and returns its length, or -1 when it
// cannot be opened or the position cannot be told.
int64_t open_at_end(std::ifstream& in, const std::filesystem::path& path) {
  in.open(path, std::ios::binary | std::ios::ate);
  if (!in.good()) return -1;
  const std::streamoff end = static_cast<std::streamoff>(in.tellg());
  if (end < 0) return -1;
  return static_cast<int64_t>(end);
}

}  // namespace

uint32_t murmur3_x86_32(const void* data, size_t length, uint32_t seed) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  const size_t block_count = length / 4;
  const uint32_t h = mix_blocks(seed, bytes, block_count);
  const unsigned char* tail = bytes + block_count * 4;
  uint32_t k = 0;
  switch (length & 3) {
    case 3:
      k ^= static_cast<uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      break;
    default:
      break;
  }
  return finish_hash(h, k, length & 3, length);
}

void Murmur3Hasher::update(const void* data, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  total_length_ += length;
  // Complete the block an earlier piece left unfinished.
  while (pending_length_ != 0 && pending_length_ < 4 && length > 0) {
    pending_ |= static_cast<uint32_t>(*bytes++) << (8 * pending_length_);
    ++pending_length_;
    --length;
  }
  if (pending_length_ == 4) {
    hash_ = mix_block(hash_, pending_);
    pending_ = 0;
    pending_length_ = 0;
  }
  const size_t block_count = length / 4;
  hash_ = mix_blocks(hash_, bytes, block_count);
  bytes += block_count * 4;
  length -= block_count * 4;
  for (; length > 0; --length) {
    pending_ |= static_cast<uint32_t>(*bytes++) << (8 * pending_length_);
    ++pending_length_;
  }
}

uint32_t Murmur3Hasher::finish() const {
  return finish_hash(hash_, pending_, pending_length_, total_length_);
}

std::string fingerprint_text(uint32_t hash) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(8, '0');
  for (int i = 0; i < 4; ++i) {
    const uint32_t byte = (hash >> (8 * i)) & 0xffu;
    text[static_cast<size_t>(2 * i)] = kDigits[byte >> 4];
    text[static_cast<size_t>(2 * i + 1)] = kDigits[byte & 0xfu];
  }
  return text;
}

std::string fingerprint_of(const void* data, size_t length) {
  if (length == 0) return kEmptyFingerprint;
  return fingerprint_text(murmur3_x86_32(data, length, 0));
}

char* ReadBuffer::reserve(size_t size) {
  if (size > capacity_) {
    data_.reset();
    capacity_ = 0;
    char* fresh = new (std::nothrow) char[size];
    if (fresh == nullptr) return nullptr;
    data_.reset(fresh);
    capacity_ = size;
  }
  return data_.get();
}

int32_t file_size_of(const std::filesystem::path& path) {
  std::ifstream in;
  const int64_t length = open_at_end(in, path);
  if (length < 0 || length > kMaxFileSize) return -1;
  return static_cast<int32_t>(length);
}

std::string file_fingerprint_of(const std::filesystem::path& path, ReadBuffer& buffer) {
  std::ifstream in;
  const int64_t length = open_at_end(in, path);
  if (length < 1 || length > kMaxFileSize) return kEmptyFingerprint;
  in.seekg(0, std::ios::beg);
  if (!in.good()) return kEmptyFingerprint;
  size_t left = static_cast<size_t>(length);
  char* data = buffer.reserve(std::min(left, kFingerprintChunk));
  if (data == nullptr) return kEmptyFingerprint;
  Murmur3Hasher hasher;
  while (left > 0) {
    const size_t piece = std::min(left, kFingerprintChunk);
    in.read(data, static_cast<std::streamsize>(piece));
    // A file that shrank while being read has no trustworthy fingerprint.
    if (static_cast<size_t>(in.gcount()) != piece) return kEmptyFingerprint;
    hasher.update(data, piece);
    left -= piece;
  }
  return fingerprint_text(hasher.finish());
}

std::string file_fingerprint_of(const std::filesystem::path& path) {
  ReadBuffer buffer;
  return file_fingerprint_of(path, buffer);
}

std::string folder_fingerprint_of(std::vector<std::string> file_fingerprints) {
  std::sort(file_fingerprints.begin(), file_fingerprints.end());
  file_fingerprints.erase(std::unique(file_fingerprints.begin(), file_fingerprints.end()),
                          file_fingerprints.end());
  std::string joined;
  joined.reserve(file_fingerprints.size() * 8);
  for (const std::string& fingerprint : file_fingerprints) joined += fingerprint;
  return fingerprint_of(joined.data(), joined.size());
}

namespace {

// Adds up the sizes; -1 when a file cannot be opened or is too large, since
// such a folder can match no manifest.
int64_t total_size_of(const std::vector<std::filesystem::path>& files) {
  int64_t total = 0;
  for (const std::filesystem::path& file : files) {
    const int32_t size = file_size_of(file);
    if (size < 0) return -1;
    total += size;
  }
  return total;
}

std::string fingerprint_files(const std::vector<std::filesystem::path>& files) {
  ReadBuffer buffer;
  std::vector<std::string> fingerprints;
  fingerprints.reserve(files.size());
  for (const std::filesystem::path& file : files) {
    fingerprints.push_back(file_fingerprint_of(file, buffer));
  }
  return folder_fingerprint_of(std::move(fingerprints));
}

}  // namespace

FolderDigest digest_folder_files(const std::vector<std::filesystem::path>& files,
                                 int32_t expected_total) {
  FolderDigest digest;
  digest.total_size = total_size_of(files);
  digest.sizes_match = digest.total_size >= 0 && digest.total_size == expected_total;
  if (digest.sizes_match) digest.fingerprint = fingerprint_files(files);
  return digest;
}

FolderDigest digest_folder_files(const std::vector<std::filesystem::path>& files) {
  FolderDigest digest;
  digest.total_size = total_size_of(files);
  digest.sizes_match = digest.total_size >= 0 && digest.total_size <= kMaxFileSize;
  if (digest.sizes_match) digest.fingerprint = fingerprint_files(files);
  return digest;
}

}  // namespace vx
