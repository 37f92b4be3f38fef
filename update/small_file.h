// Small files the update engine keeps beside the install (the stored
// serial, the record of a partial download): read with a bound, and
// replaced whole. Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx {

// The whole file at `path` into `text`. false (text empty) when it cannot be
// read or holds more than `most` bytes: a file that long is not one of ours.
bool read_small_file(const std::wstring& path, size_t most, std::string& text);

// Writes `text` to a temporary file beside `path`, makes it durable and
// renames it over `path`, so that a reader (or a program ended half-way)
// finds the old content or the new one, never a mix. Returns 0, or the
// Win32 code of the step that failed; the temporary file is then removed
// and `path` is as it was.
uint32_t replace_small_file(const std::wstring& path, const std::string& text);

}  // namespace vx
