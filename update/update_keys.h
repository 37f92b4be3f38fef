// The public keys that signed updates are checked against, fixed when the
// program is built (the CMake cache variable VELMORANDIX_UPDATE_KEYS).
#pragma once

#include <cstddef>

#include "update/signature_format.h"

namespace vx {

struct UpdateKey {
  const char* base64;  // the key as configured, to name it in messages
  EcP256PublicKey key;
};

struct UpdateKeySet {
  const UpdateKey* keys;
  size_t count;  // 0: unsigned mode, manifests are taken as they come
};

// The program's key set. Defined by a source that CMake generates for each
// key set (vx_update_key_set in cmake/VxUpdateKeys.cmake); every program
// that uses it links exactly one, so programs built side by side can carry
// different keys.
const UpdateKeySet& update_keys();

}  // namespace vx
