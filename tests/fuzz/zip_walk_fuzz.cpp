// Fuzzes the walk of what the install unpacks, over arbitrary archive bytes
// as check-site may meet them on a server: any read outside the input shows
// up under ASan, and the walk must keep to its limit and describe every file
// it reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/zip_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kLimit = 1 << 20;
  vx::zip::MemoryBytes bytes(data, size);
  const vx::zip::Unpacked unpacked = vx::zip::unpack_as_program(
      bytes, [](const uint8_t*, size_t length) { return std::to_string(length); }, kLimit);
  uint64_t total = 0;
  for (const vx::zip::UnpackedFile& file : unpacked.files) {
    if (file.digest != std::to_string(file.size) || file.name.empty()) std::abort();
    total += file.size;
  }
  if (total > kLimit || (!unpacked.opened && !unpacked.files.empty())) std::abort();
  return 0;
}
