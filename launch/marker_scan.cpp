#include "launch/marker_scan.h"

#include <cstring>

bool RestartMarkerScanner::feed(const char* data, std::size_t size) {
  if (found_) return true;
  // Bytes after a zero byte are dropped, as if the chunk ended there.
  const void* zero = size ? std::memchr(data, 0, size) : nullptr;
  const std::size_t counted =
      zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size;
  if (counted == 0) return false;

  // A marker that ends in this chunk starts at most kRestartMarkerSize - 1
  // bytes before it, so the kept tail is all the earlier output it can need.
  window_.assign(tail_);
  window_.append(data, counted);
  if (window_.find(kRestartMarker, 0, kRestartMarkerSize) != std::string::npos) {
    found_ = true;
    tail_.clear();
    return true;
  }
  constexpr std::size_t keep = kRestartMarkerSize - 1;
  const std::size_t from = window_.size() > keep ? window_.size() - keep : 0;
  tail_.assign(window_, from, std::string::npos);
  return false;
}
