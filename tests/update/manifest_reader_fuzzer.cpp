// Any reply body: never a crash, an assertion or a sanitizer report, and the
// codecs always give text the strict decoder accepts back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/bootstrap_state.h"
#include "update/manifest_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const vx::ManifestReading reading = vx::read_manifest(body);
  if (reading.complete && reading.parse != vx::ManifestParse::kParsed) std::abort();
  if (vx::signed_manifest_complete(reading) && !reading.complete) std::abort();
  BootstrapState state;
  if (reading.parse == vx::ManifestParse::kParsed) vx::apply_manifest(reading, state);
  if (state.manifest_ok != reading.complete) std::abort();

  std::wstring strict;
  const std::wstring lenient = utf8_to_wide(body);
  if (!vx::utf8_to_wide_checked(wide_to_utf8(lenient), strict) || strict != lenient) std::abort();
  if (vx::utf8_to_wide_checked(body, strict) && strict != lenient) std::abort();
  return 0;
}
