// Looking for the launcher's restart marker in its output, chunk by chunk.
// Free of any platform interface.
#pragma once

#include <cstddef>
#include <string>

// The 34 bytes that the launcher prints once it has started; matched exactly
// and case-sensitively, wherever they stand (line ends play no part).
constexpr char kRestartMarker[] = "Restart Launcher with JavaAgent...";
constexpr std::size_t kRestartMarkerSize = sizeof(kRestartMarker) - 1;

// Sees the output as the concatenation of the chunks fed so far, each cut at
// its first zero byte (the bytes from the zero byte on never count), and
// reports whether the marker occurs anywhere in it. A marker split across
// chunks is found once its last part has arrived.
//
// Only the last kRestartMarkerSize - 1 bytes of the output are kept between
// chunks, so memory stays bounded and each chunk costs time linear in its size
// however much the launcher has printed before.
class RestartMarkerScanner {
 public:
  // Takes one chunk as read. Returns found().
  bool feed(const char* data, std::size_t size);

  // Whether the marker has occurred in the output fed so far. Stays true.
  bool found() const { return found_; }

  // How many bytes of earlier output are held; never more than
  // kRestartMarkerSize - 1.
  std::size_t retained() const { return tail_.size(); }

 private:
  std::string tail_;    // end of the output so far, too short to hold the marker
  std::string window_;  // tail_ followed by the counted part of a chunk
  bool found_ = false;
};
