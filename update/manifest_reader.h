// The reading of the update manifest, free of any platform API so that it
// can be tested and fuzzed natively. The text codecs it uses come with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/utf8.h"  // utf8_to_wide, wide_to_utf8, utf8_to_wide_checked
#include "update/signature_format.h"

struct BootstrapState;

namespace vx {

// What one reply body turned out to be.
enum class ManifestParse {
  kNotJson,   // not exactly one JSON value: ask the next server
  kNullRoot,  // the JSON literal null: no manifest, ask nobody else
  kParsed,    // some JSON value: this server answered
};

// One item of the manifest (launcher, java, java_zip).
struct ManifestItem {
  std::optional<std::wstring> hash;
  std::optional<int32_t> size;
  // "sha256": present when it is exactly 64 hex digits (either case). Signed
  // updates pin the launcher jar and the runtime archive with it.
  std::optional<Sha256Digest> sha256;
};

// Values found in a parsed reply. A value is present only when its key was
// found with the expected type and range (first occurrence of a key counts)
// and, for texts, valid UTF-8 within the Basic Multilingual Plane.
struct ManifestReading {
  ManifestParse parse = ManifestParse::kNotJson;
  ManifestItem launcher;
  ManifestItem java;
  ManifestItem java_zip;
  std::optional<std::wstring> java_path;
  std::optional<std::wstring> run_args;
  // Top-level "serial": 0 when the key is absent, its value when it is an
  // integer in 0..kMaxSerial, empty for any other type or value. Only a
  // signed update looks at it.
  std::optional<uint32_t> serial = 0u;
  // Every one of the eight values is present and the whole document keeps
  // to the format (an object root, texts within the Basic Multilingual
  // Plane everywhere).
  bool complete = false;
};

// Deepest nesting of arrays and objects accepted; deeper replies are taken
// as not JSON, so that the recursive parser cannot exhaust the stack.
constexpr int kMaxManifestDepth = 64;

// Parses one reply body (UTF-8). Never fails hard: malformed input of any
// kind yields kNotJson or an incomplete reading.
ManifestReading read_manifest(const std::string& utf8_text);

// Whether a reading is complete for a signed update: complete as above, with
// a valid serial and "sha256" in both "launcher" and "java_zip".
bool signed_manifest_complete(const ManifestReading& reading);

// Stores the present values of a kParsed reading in the record, leaving the
// others untouched, and sets `manifest_ok` to `reading.complete`.
void apply_manifest(const ManifestReading& reading, BootstrapState& state);

// The same for a manifest that verified under an update key: stores the
// present values, turns on pinned downloads with the "sha256" pins that are
// present, and sets `manifest_ok` to signed_manifest_complete(reading).
void apply_signed_manifest(const ManifestReading& reading, BootstrapState& state);

}  // namespace vx
