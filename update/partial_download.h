// A download kept on disk as it arrives, so that a later attempt, round or
// start continues it instead of fetching it again: the body sink the
// installer hands to the HTTP client.
//
// The held bytes live in one file (`<install_dir>\downloads\<item>.part`);
// beside it, in `<file>.info`, the record of update/partial_record.h says
// which item they belong to (URL, the manifest's size, the SHA-256 pin when
// signed) and the validator of the response they came from. A partial is
// kept when a download fails or the program is ended, and continued by the
// next download of the same item.
//
// Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/win_raii.h"
#include "net/http_sink.h"
#include "update/cng_crypto.h"
#include "update/partial_record.h"

namespace vx {

class PartialDownload final : public http::BodySink {
 public:
  // Writes are gathered up to this many bytes before they go to disk; an
  // ended program loses at most these.
  static constexpr size_t kBufferSize = size_t{1} << 20;

  // Opens the partial download of `url`, an item of `size` bytes, at `path`.
  // With a `pin` the SHA-256 of the bytes is kept as they arrive (digest()).
  // What is on disk is kept only when `may_resume` is set, the record is
  // well-formed and names this URL, size and pin, and the partial is
  // shorter than the item; otherwise the partial and its record are
  // deleted and nothing is held. Without `may_resume` the validator stays
  // empty for the whole download, so that not even a retry continues it;
  // the record still keeps it for a later download. Nothing is created
  // until a body begins.
  PartialDownload(const std::wstring& path, const std::wstring& url, int64_t size,
                  const Sha256Digest* pin, bool may_resume);
  // Writes out what is gathered, as close() does.
  ~PartialDownload() override;

  PartialDownload(const PartialDownload&) = delete;
  PartialDownload& operator=(const PartialDownload&) = delete;

  // BodySink (net/http_sink.h). held() counts the gathered bytes too.
  uint64_t held() const override;
  std::wstring validator() const override;
  // Truncates the partial, then writes the record with `validator` (to a
  // temporary name, then moved over the old one), and starts the SHA-256
  // afresh.
  bool restart(const std::wstring& validator) override;
  // With a pin, hashes the held bytes from disk (in pieces) unless the
  // running SHA-256 covers them already; marks the item resumed.
  bool resume() override;
  bool write(const uint8_t* data, size_t size) override;
  // Truncates the partial and clears the validator in the record.
  void discard() override;

  // Writes out what is gathered and closes the partial, so that it can be
  // moved or unpacked. false when any disk operation failed.
  bool close();
  // Deletes the partial and its record (after close(), or instead of it).
  void remove();

  // The Win32 code of the first disk operation that failed, 0 if none: a
  // download that fails with one could not be written, rather than not
  // fetched.
  uint32_t disk_error() const { return disk_error_; }
  // Whether any of the held bytes came from before the body that ended the
  // download (an earlier attempt, round or start).
  bool resumed() const { return resumed_; }
  // The SHA-256 of the held bytes when pinned; empty unpinned or when the
  // system's hashing or a read failed. Call once, after close().
  std::optional<Sha256Digest> digest();
  const std::wstring& path() const { return path_; }

 private:
  bool open_for_append();
  bool flush();
  bool write_record();
  bool hash_from_disk();
  bool fail(uint32_t error);
  void delete_files();

  std::wstring path_;
  std::wstring record_path_;
  PartialRecord record_;
  bool pinned_;
  bool may_resume_;
  UniqueHandle file_;
  uint64_t on_disk_ = 0;  // bytes written to the file
  std::vector<uint8_t> buffer_;
  std::optional<Sha256Hasher> hasher_;
  uint64_t hashed_ = 0;  // bytes the running SHA-256 covers, the gathered ones included
  bool resumed_ = false;
  uint32_t disk_error_ = 0;
};

}  // namespace vx
