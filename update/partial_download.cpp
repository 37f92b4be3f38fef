#include "update/partial_download.h"

#include <windows.h>

#include <algorithm>

#include "base/utf8.h"
#include "update/small_file.h"

namespace vx {
namespace {

// Bytes read per pass when the held bytes are hashed from disk.
constexpr DWORD kHashPiece = 1 << 20;

// The record at `path`; false when there is none or it is malformed.
bool read_record(const std::wstring& path, PartialRecord& record) {
  std::string text;
  return read_small_file(path, kMaxPartialRecordLength, text) && parse_partial_record(text, record);
}

// The length of the file at `path`, or -1 when it is not a plain file.
int64_t length_of(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return -1;
  }
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                              data.nFileSizeLow);
}

bool write_all(HANDLE file, const uint8_t* data, size_t size) {
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

PartialDownload::PartialDownload(const std::wstring& path, const std::wstring& url, int64_t size,
                                 const Sha256Digest* pin, bool may_resume)
    : path_(path), record_path_(path + L".info"), pinned_(pin != nullptr), may_resume_(may_resume) {
  record_.url = wide_to_utf8(url);
  record_.size = size;
  if (pin != nullptr) record_.sha256 = sha256_hex(*pin);
  PartialRecord stored;
  const int64_t length = length_of(path_);
  // A partial as long as the item is no part of it: asking for the rest
  // would ask for nothing.
  if (may_resume && read_record(record_path_, stored) && same_item(stored, record_) &&
      length >= 0 && length < size) {
    on_disk_ = static_cast<uint64_t>(length);
    record_.validator = stored.validator;
  } else {
    delete_files();
  }
}

PartialDownload::~PartialDownload() { close(); }

uint64_t PartialDownload::held() const { return on_disk_ + buffer_.size(); }

std::wstring PartialDownload::validator() const {
  return may_resume_ ? utf8_to_wide(record_.validator) : std::wstring();
}

bool PartialDownload::restart(const std::wstring& validator) {
  if (disk_error_ != 0) return false;
  buffer_.clear();
  file_.reset();  // closed first: the new handle would not share with it
  // The bytes go before the record names the new validator: ended in
  // between, an empty partial is left under the old one, never old bytes
  // under the new one.
  file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return fail(GetLastError());
  on_disk_ = 0;
  record_.validator = wide_to_utf8(validator);
  std::string text;
  // A validator the record cannot hold is no validator: the item is then
  // fetched whole next time.
  if (!format_partial_record(record_, text)) record_.validator.clear();
  if (!write_record()) return false;
  if (pinned_) hasher_.emplace();
  hashed_ = 0;
  resumed_ = false;
  return true;
}

bool PartialDownload::resume() {
  if (disk_error_ != 0 || !open_for_append()) return false;
  if (pinned_ && (!hasher_ || hashed_ != held()) && !hash_from_disk()) return false;
  resumed_ = true;
  return true;
}

bool PartialDownload::write(const uint8_t* data, size_t size) {
  if (disk_error_ != 0 || !open_for_append()) return false;
  if (pinned_) {
    if ((!hasher_ || hashed_ != held()) && !hash_from_disk()) return false;
    hashed_ += size;  // hashed when the buffer goes out
  }
  if (buffer_.capacity() < kBufferSize) buffer_.reserve(kBufferSize);
  while (size > 0) {
    const size_t piece = std::min(size, kBufferSize - buffer_.size());
    buffer_.insert(buffer_.end(), data, data + piece);
    data += piece;
    size -= piece;
    if (buffer_.size() == kBufferSize && !flush()) return false;
  }
  return true;
}

void PartialDownload::discard() {
  buffer_.clear();
  file_.reset();
  delete_files();
  on_disk_ = 0;
  record_.validator.clear();
  hasher_.reset();
  hashed_ = 0;
  resumed_ = false;
}

bool PartialDownload::close() {
  const bool flushed = flush();
  file_.reset();
  return flushed && disk_error_ == 0;
}

void PartialDownload::remove() {
  buffer_.clear();
  file_.reset();
  delete_files();
  on_disk_ = 0;
}

std::optional<Sha256Digest> PartialDownload::digest() {
  if (!pinned_ || !hasher_ || !buffer_.empty() || hashed_ != held()) return std::nullopt;
  return hasher_->finish();
}

bool PartialDownload::open_for_append() {
  if (file_) return true;
  file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return fail(GetLastError());
  // The file ends where the held bytes end, whatever else was appended.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(on_disk_);
  if (!SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
    return fail(GetLastError());
  }
  return true;
}

bool PartialDownload::flush() {
  if (buffer_.empty()) return true;
  if (!file_ || !write_all(file_.get(), buffer_.data(), buffer_.size())) {
    const DWORD error = file_ ? GetLastError() : ERROR_INVALID_HANDLE;
    // What reached the disk before the failure is what the file holds.
    on_disk_ = static_cast<uint64_t>(std::max<int64_t>(length_of(path_), 0));
    buffer_.clear();
    return fail(error);
  }
  // Hashed as it goes out: one call per gathered buffer, not per read.
  if (pinned_ && hasher_) hasher_->update(buffer_.data(), buffer_.size());
  on_disk_ += buffer_.size();
  buffer_.clear();
  return true;
}

bool PartialDownload::write_record() {
  std::string text;
  if (!format_partial_record(record_, text)) return fail(ERROR_INVALID_DATA);
  // Replaced whole: an ended program leaves the old record or the new one.
  const uint32_t error = replace_small_file(record_path_, text);
  return error == 0 || fail(error);
}

bool PartialDownload::hash_from_disk() {
  if (!flush()) return false;
  hasher_.emplace();
  hashed_ = 0;
  if (on_disk_ == 0) return true;
  UniqueHandle file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return fail(GetLastError());
  std::vector<uint8_t> piece(kHashPiece);
  while (hashed_ < on_disk_) {
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(kHashPiece, on_disk_ - hashed_));
    DWORD got = 0;
    if (!ReadFile(file.get(), piece.data(), want, &got, nullptr)) return fail(GetLastError());
    if (got == 0) return fail(ERROR_HANDLE_EOF);
    hasher_->update(piece.data(), got);
    hashed_ += got;
  }
  return true;
}

bool PartialDownload::fail(uint32_t error) {
  if (disk_error_ == 0) disk_error_ = error != 0 ? error : ERROR_WRITE_FAULT;
  return false;
}

void PartialDownload::delete_files() {
  DeleteFileW(path_.c_str());
  DeleteFileW(record_path_.c_str());
}

}  // namespace vx
